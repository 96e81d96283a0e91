#include "server/class_factory.h"

#include "common/com_object.h"
#include "server/halvorin_object.h"
#include "server/server_module.h"

HRESULT STDMETHODCALLTYPE HalvorinClassFactory::QueryInterface(REFIID riid, void** object) {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
        *object = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

HRESULT STDMETHODCALLTYPE HalvorinClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    auto* created = ComObject<HalvorinObject>::Create();
    if (created == nullptr) return E_OUTOFMEMORY;
    const HRESULT hr = created->QueryInterface(riid, object);
    created->Release();  // the caller's reference, if any, keeps it
    return hr;
}

HRESULT STDMETHODCALLTYPE HalvorinClassFactory::LockServer(BOOL lock) {
    if (lock) {
        server_module::Lock();
    } else {
        server_module::Unlock();
    }
    return S_OK;
}
