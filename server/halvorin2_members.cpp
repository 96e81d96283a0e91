// The members of IHalvorin2 (what a client needs to know and to run without boxes) and
// the error information that every failing result of the object carries.
#include <windows.h>
#include <oleauto.h>

#include "engine/engine_context.h"
#include "engine/image_holder.h"
#include "engine/module_list.h"
#include "common/image_seal.h"
#include "server/bstr_text.h"
#include "server/halvorin_object.h"

namespace {

const char kNullResult[] = "the result's place is missing (a null pointer)";

}  // namespace

HRESULT HalvorinObject::Error(HRESULT hr, const std::string& why) {
    lastError_ = why;
    ComPtr<ICreateErrorInfo> creator;
    if (SUCCEEDED(CreateErrorInfo(creator.Receive()))) {
        BSTR description = BstrFromText(why, kListBufferChars);
        creator->SetDescription(description);
        SysFreeString(description);
        creator->SetSource(const_cast<LPOLESTR>(L"Halvorin.Halvorin"));
        creator->SetGUID(IID_IHalvorin2);
        ComPtr<IErrorInfo> info;
        if (SUCCEEDED(creator->QueryInterface(IID_IErrorInfo, info.ReceiveVoid()))) SetErrorInfo(0, info.Get());
    }
    return hr;
}

HRESULT STDMETHODCALLTYPE HalvorinObject::InterfaceSupportsErrorInfo(REFIID riid) {
    return IsEqualIID(riid, IID_IHalvorin) || IsEqualIID(riid, IID_IHalvorin2) ? S_OK : S_FALSE;
}

HRESULT STDMETHODCALLTYPE HalvorinObject::get_latestVersion(LONG* value) {
    return Operation([&] {
        if (value == nullptr) return Error(E_POINTER, kNullResult);
        EngineContext& context = Context();
        const ImageResult current = context.CurrentImage(context.referer);
        // Without the image there is no number to give: 0 would read as a version.
        if (!current.fetched) {
            return Error(E_FAIL, current.failure.reportText.empty() ? "the update image could not be read"
                                                                    : current.failure.reportText);
        }
        *value = current.image->version;
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE HalvorinObject::get_lastError(BSTR* value) {
    if (value == nullptr) return Error(E_POINTER, kNullResult);
    *value = BstrFromText(lastError_, kListBufferChars);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE HalvorinObject::get_silent(VARIANT_BOOL* value) {
    if (value == nullptr) return Error(E_POINTER, kNullResult);
    *value = silent_ ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE HalvorinObject::put_silent(VARIANT_BOOL value) {
    silent_ = value != VARIANT_FALSE;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE HalvorinObject::get_moduleList(BSTR* value) { return ModuleListText(value); }

HRESULT STDMETHODCALLTYPE HalvorinObject::NewHalvorinFiles(BSTR* files) {
    LONG needed = 0;
    return NewHalvorinList(files, &needed);
}

HRESULT STDMETHODCALLTYPE HalvorinObject::get_publisherKey(BSTR* value) { return GetText(publisherKey_, value); }

HRESULT STDMETHODCALLTYPE HalvorinObject::put_publisherKey(BSTR value) {
    const std::string text = TextFromBstr(value);
    PublicKeyBytes key;
    if (text.empty()) {
        publisherKey_.clear();
        return S_OK;
    }
    // A key that is no key would refuse every image: told now, the key stays as it was.
    if (!ParsePublicKeyText(text, &key)) {
        return Error(E_INVALIDARG, "publisherKey is not a key: give the line of the .pub file that halvorin-site "
                                   "keygen wrote (halvorin-p256: and 128 hex digits)");
    }
    publisherKey_ = PublicKeyText(key);
    return S_OK;
}
