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
    // The reservation keeps the shutdown monitor from ending the server while the object is
    // made; once shutdown has begun the client is told so, and the runtime starts a new server.
    server_module::Lock();
    if (server_module::IsStopping()) {
        server_module::Unlock();
        return CO_E_SERVER_STOPPING;
    }
    auto* created = ComObject<HalvorinObject>::Create();
    HRESULT hr = E_OUTOFMEMORY;
    if (created != nullptr) {
        hr = created->QueryInterface(riid, object);
        created->Release();  // the caller's reference, if any, keeps it
    }
    server_module::Unlock();
    return hr;
}

HRESULT STDMETHODCALLTYPE HalvorinClassFactory::LockServer(BOOL lock) {
    if (!lock) {
        server_module::Unlock();
        return S_OK;
    }
    // As with a creation: once shutdown has begun the lock would be lost with the server.
    server_module::Lock();
    if (server_module::IsStopping()) {
        server_module::Unlock();
        return CO_E_SERVER_STOPPING;
    }
    return S_OK;
}
