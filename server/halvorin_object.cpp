#include "server/halvorin_object.h"

#include <cstring>
#include <vector>

#include "halvorin_version.h"
#include "engine/context_registry.h"
#include "engine/engine_context.h"
#include "engine/image_holder.h"
#include "engine/module_list.h"
#include "server/bstr_text.h"
#include "server/server_module.h"

namespace {

constexpr LCID kTypeLibraryLocale = 0x0409;

}  // namespace

HalvorinObject::HalvorinObject() { server_module::Lock(); }

HalvorinObject::~HalvorinObject() { server_module::Unlock(); }

HRESULT STDMETHODCALLTYPE HalvorinObject::QueryInterface(REFIID riid, void** object) {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, IID_IHalvorin) ||
        IsEqualIID(riid, IID_IHalvorin2)) {
        *object = static_cast<IHalvorin2*>(this);
        static_cast<IHalvorin2*>(this)->AddRef();
        return S_OK;
    }
    if (IsEqualIID(riid, IID_ISupportErrorInfo)) {
        *object = static_cast<ISupportErrorInfo*>(this);
        static_cast<IHalvorin2*>(this)->AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

HRESULT HalvorinObject::LoadTypeInfo() {
    if (typeInfo_) return S_OK;
    ComPtr<ITypeLib> library;
    HRESULT hr = LoadRegTypeLib(LIBID_HALVORINLib, HALVORIN_VERSION_MAJOR, HALVORIN_VERSION_MINOR, kTypeLibraryLocale,
                                library.Receive());
    if (FAILED(hr)) return hr;
    // IHalvorin2's description holds IHalvorin's members too: one dispatch serves both.
    return library->GetTypeInfoOfGuid(IID_IHalvorin2, typeInfo_.Receive());
}

HRESULT STDMETHODCALLTYPE HalvorinObject::GetTypeInfoCount(UINT* count) {
    if (count == nullptr) return E_POINTER;
    *count = 1;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE HalvorinObject::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
    if (info == nullptr) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    const HRESULT hr = LoadTypeInfo();
    if (FAILED(hr)) return hr;
    typeInfo_->AddRef();
    *info = typeInfo_.Get();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE HalvorinObject::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID,
                                                        DISPID* ids) {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    const HRESULT hr = LoadTypeInfo();
    if (FAILED(hr)) return hr;
    return DispGetIDsOfNames(typeInfo_.Get(), names, count, ids);
}

HRESULT STDMETHODCALLTYPE HalvorinObject::Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* parameters,
                                                 VARIANT* result, EXCEPINFO* exception, UINT* argumentError) {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    HRESULT outTextResult = S_OK;
    if (InvokeWithVariantOutText(id, flags, parameters, result, &outTextResult)) {
        if (SUCCEEDED(outTextResult) || exception == nullptr) return outTextResult;
        // What the type-driven dispatch does for the other members: the reason goes back.
        memset(exception, 0, sizeof *exception);
        exception->bstrSource = SysAllocString(L"Halvorin.Halvorin");
        exception->bstrDescription = BstrFromText(lastError_, kListBufferChars);
        exception->scode = outTextResult;
        return DISP_E_EXCEPTION;
    }
    const HRESULT hr = LoadTypeInfo();
    if (FAILED(hr)) return hr;
    return DispInvoke(static_cast<IHalvorin2*>(this), typeInfo_.Get(), id, flags, parameters, result, exception,
                      argumentError);
}

// Script hosts pass every variable by reference as a variant (VT_BYREF|VT_VARIANT). For
// an [out] BSTR that is not the return value (GetModuleList, the list of
// NewHalvorinNeeded) the type-driven dispatch refuses that form with a type mismatch, so
// those two calls are made here and the text is stored into the caller's variant. Every
// other form of call goes through the type description as before.
bool HalvorinObject::InvokeWithVariantOutText(DISPID id, WORD flags, DISPPARAMS* parameters, VARIANT* result,
                                              HRESULT* hr) {
    const DISPID kNewHalvorinNeeded = 7;
    const DISPID kGetModuleList = 14;
    if ((id != kNewHalvorinNeeded && id != kGetModuleList) || !(flags & DISPATCH_METHOD) || parameters == nullptr ||
        parameters->cArgs != 1 || parameters->cNamedArgs != 0 ||
        V_VT(&parameters->rgvarg[0]) != (VT_BYREF | VT_VARIANT) || V_VARIANTREF(&parameters->rgvarg[0]) == nullptr) {
        return false;
    }
    BSTR text = nullptr;
    LONG answer = 0;
    *hr = id == kGetModuleList ? ModuleListText(&text) : NewHalvorinList(&text, &answer);
    if (FAILED(*hr)) {
        SysFreeString(text);
        return true;
    }
    VARIANT* target = V_VARIANTREF(&parameters->rgvarg[0]);
    VariantClear(target);
    V_VT(target) = VT_BSTR;
    V_BSTR(target) = text;
    if (result != nullptr) {
        VariantInit(result);
        if (id == kNewHalvorinNeeded) {
            V_VT(result) = VT_I4;
            V_I4(result) = answer;
        }
    }
    return true;
}

EngineContext& HalvorinObject::Context() {
    if (context_ == nullptr) context_ = &FindOrCreateContext(appID_);
    return *context_;
}

void HalvorinObject::CopyPropertiesToContext() {
    EngineContext& context = Context();
    context.downloadDirectory = downloadDirectory_;
    context.appDirectory = appDirectory_;
    context.userPassword = userPassword_;
    context.userName = userName_;
    context.url = url_;
    context.imagePath = imagePath_;
    context.referer = referer_;
    context.publisherKey = publisherKey_;
}

void HalvorinObject::LendKeyToContext() { Context().publisherKey = publisherKey_; }

HRESULT HalvorinObject::GetText(const std::string& field, BSTR* value) {
    if (value == nullptr) return Error(E_POINTER, "the result's place is missing (a null pointer)");
    *value = BstrFromText(field);
    return S_OK;
}

HRESULT HalvorinObject::PutText(std::string& field, BSTR value) {
    field = TextFromBstr(value);
    if (!appID_.empty()) CopyPropertiesToContext();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE HalvorinObject::get_url(BSTR* value) { return GetText(url_, value); }
HRESULT STDMETHODCALLTYPE HalvorinObject::put_url(BSTR value) { return PutText(url_, value); }
HRESULT STDMETHODCALLTYPE HalvorinObject::get_userName(BSTR* value) { return GetText(userName_, value); }
HRESULT STDMETHODCALLTYPE HalvorinObject::put_userName(BSTR value) { return PutText(userName_, value); }
HRESULT STDMETHODCALLTYPE HalvorinObject::get_userPassword(BSTR* value) { return GetText(userPassword_, value); }
HRESULT STDMETHODCALLTYPE HalvorinObject::put_userPassword(BSTR value) { return PutText(userPassword_, value); }
HRESULT STDMETHODCALLTYPE HalvorinObject::get_downloadDirectory(BSTR* value) {
    return GetText(downloadDirectory_, value);
}
HRESULT STDMETHODCALLTYPE HalvorinObject::put_downloadDirectory(BSTR value) {
    return PutText(downloadDirectory_, value);
}
HRESULT STDMETHODCALLTYPE HalvorinObject::get_appDirectory(BSTR* value) { return GetText(appDirectory_, value); }
HRESULT STDMETHODCALLTYPE HalvorinObject::put_appDirectory(BSTR value) { return PutText(appDirectory_, value); }
HRESULT STDMETHODCALLTYPE HalvorinObject::get_appID(BSTR* value) { return GetText(appID_, value); }
HRESULT STDMETHODCALLTYPE HalvorinObject::put_appID(BSTR value) { return PutText(appID_, value); }
HRESULT STDMETHODCALLTYPE HalvorinObject::get_imagePath(BSTR* value) { return GetText(imagePath_, value); }
HRESULT STDMETHODCALLTYPE HalvorinObject::put_imagePath(BSTR value) { return PutText(imagePath_, value); }
HRESULT STDMETHODCALLTYPE HalvorinObject::get_referer(BSTR* value) { return GetText(referer_, value); }
HRESULT STDMETHODCALLTYPE HalvorinObject::put_referer(BSTR value) { return PutText(referer_, value); }

HRESULT STDMETHODCALLTYPE HalvorinObject::get_halvorinDirectory(BSTR* value) {
    if (value == nullptr) return Error(E_POINTER, "the result's place is missing (a null pointer)");
    char path[MAX_PATH + 1] = "";
    GetModuleFileNameA(nullptr, path, MAX_PATH);  // a cut path stays terminated by the extra byte
    std::string directory = path;
    const size_t separator = directory.find_last_of("\\/");
    directory = separator == std::string::npos ? std::string() : directory.substr(0, separator + 1);
    *value = BstrFromText(directory, MAX_PATH + 1);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE HalvorinObject::get_processID(LONG* value) {
    if (value == nullptr) return Error(E_POINTER, "the result's place is missing (a null pointer)");
    *value = static_cast<LONG>(GetCurrentProcessId());
    return S_OK;
}

HRESULT STDMETHODCALLTYPE HalvorinObject::PatchNeeded(LONG fromV, LONG toV, LONG* patchNeeded) {
    return Operation([&] {
        if (patchNeeded == nullptr) return Error(E_POINTER, "the result's place is missing (a null pointer)");
        *patchNeeded = Context().IsPatchNeeded(fromV, toV) == 1 ? -1 : 0;
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE HalvorinObject::NewHalvorinNeeded(BSTR* downloadedFiles, LONG* patchNeeded) {
    return NewHalvorinList(downloadedFiles, patchNeeded);
}

HRESULT HalvorinObject::NewHalvorinList(BSTR* list, LONG* needed) {
    return Operation([&] {
        if (list == nullptr || needed == nullptr) return Error(E_POINTER, "the result's place is missing (a null pointer)");
        std::vector<std::string> downloaded;
        *needed = Context().IsHalvorinNeeded(&downloaded);
        std::string text;
        for (const std::string& path : downloaded) text += path + "|";
        *list = BstrFromText(text, kListBufferChars);  // cut at 65,535 characters
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE HalvorinObject::RefreshImage() {
    return Operation([&] {
        EngineContext& context = Context();
        // A fresh or replaced image is fetched by GetImage already, so a first call transfers twice.
        if (!context.CurrentImage(context.referer).fetched) return S_OK;
        Failure failure;
        if (!RefreshCachedImage(context.imageHolder, referer_, &failure)) {
            context.Report(failure);
        } else if (!context.publisherKey.empty()) {
            context.CurrentImage(context.referer);  // the new image is checked now, and a refusal told
        }
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE HalvorinObject::StartPatch(LONG processID, BSTR processExec, BSTR workingDir,
                                                     BSTR successParams, BSTR failParams, LONG fromVersion,
                                                     LONG toVersion) {
    return Operation([&] {
        // A second object of this class for the run to hold: the server lives on while it
        // runs, also after the client has released its object and ended. A failed creation
        // leaves nothing to hold.
        ComPtr<IUnknown> keepAlive;
        CoCreateInstance(CLSID_Halvorin, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER,
                         IID_IUnknown, keepAlive.ReceiveVoid());
        PatchRunRequest request;
        request.processID = processID;
        request.processExec = TextFromBstr(processExec);
        request.workingDir = TextFromBstr(workingDir);
        request.successParams = TextFromBstr(successParams);
        request.failParams = TextFromBstr(failParams);
        request.fromVersion = fromVersion;
        request.toVersion = toVersion;
        request.silent = silent_;
        if (Context().StartPatch(request, std::move(keepAlive))) return S_OK;
        return Error(E_FAIL, "an update of this application (appID " + appID_ + ") is running already");
    });
}

HRESULT STDMETHODCALLTYPE HalvorinObject::GetModuleList(BSTR* moduleList) { return ModuleListText(moduleList); }

HRESULT HalvorinObject::ModuleListText(BSTR* list) {
    return Operation([&] {
        if (list == nullptr) return Error(E_POINTER, "the result's place is missing (a null pointer)");
        EngineContext& context = Context();
        const ImageResult current = context.CurrentImage(context.referer);
        *list = BstrFromText(BuildModuleListText(*current.image), kListBufferChars);
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE HalvorinObject::DownloadModule(BSTR moduleName, LONG showUI, LONG* result) {
    return Operation([&] {
        if (result == nullptr) return Error(E_POINTER, "the result's place is missing (a null pointer)");
        const std::string name = TextFromBstr(moduleName);
        *result = Context().DownloadModuleFiles(name, showUI != 0) == 1 ? -1 : 0;
        // A module that is not there is no failure of a transfer, and is reported nowhere
        // else; the client still learns why nothing was installed.
        if (*result == 0 && lastError_.empty()) {
            const std::shared_ptr<const UpdateImage> image = Context().imageHolder.get();
            if (image && !image->modules.count(name)) lastError_ = "the update image has no module " + name;
        }
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE HalvorinObject::ShowErrorReport() {
    if (!silent_) MessageBoxA(nullptr, "ShowErrorReport() unimplemented.", "Halvorin", MB_OK);
    return Error(E_FAIL, "ShowErrorReport is not implemented: write the report to a file with WriteErrorReport");
}

HRESULT STDMETHODCALLTYPE HalvorinObject::WriteErrorReport(BSTR fileName) {
    return Operation([&] {
        const std::string path = TextFromBstr(fileName);
        Context().errorReport.AppendToFile(path);  // a file that cannot be opened is no failure
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE HalvorinObject::put_logFile(BSTR value) {
    return Operation([&] {
        Context().log.SetPath(TextFromBstr(value));
        return S_OK;
    });
}
