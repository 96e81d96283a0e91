#include "server/halvorin_object.h"

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
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, IID_IHalvorin)) {
        *object = static_cast<IHalvorin*>(this);
        AddRef();
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
    return library->GetTypeInfoOfGuid(IID_IHalvorin, typeInfo_.Receive());
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
    if (InvokeWithVariantOutText(id, flags, parameters, result, &outTextResult)) return outTextResult;
    const HRESULT hr = LoadTypeInfo();
    if (FAILED(hr)) return hr;
    return DispInvoke(static_cast<IHalvorin*>(this), typeInfo_.Get(), id, flags, parameters, result, exception,
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
    *hr = id == kGetModuleList ? GetModuleList(&text) : NewHalvorinNeeded(&text, &answer);
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
}

HRESULT HalvorinObject::GetText(const std::string& field, BSTR* value) {
    if (value == nullptr) return E_POINTER;
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
    if (value == nullptr) return E_POINTER;
    char path[MAX_PATH + 1] = "";
    GetModuleFileNameA(nullptr, path, MAX_PATH);  // a cut path stays terminated by the extra byte
    std::string directory = path;
    const size_t separator = directory.find_last_of("\\/");
    directory = separator == std::string::npos ? std::string() : directory.substr(0, separator + 1);
    *value = BstrFromText(directory, MAX_PATH + 1);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE HalvorinObject::get_processID(LONG* value) {
    if (value == nullptr) return E_POINTER;
    *value = static_cast<LONG>(GetCurrentProcessId());
    return S_OK;
}

HRESULT STDMETHODCALLTYPE HalvorinObject::PatchNeeded(LONG fromV, LONG toV, LONG* patchNeeded) {
    if (appID_.empty()) return E_FAIL;
    if (patchNeeded == nullptr) return E_POINTER;
    *patchNeeded = Context().IsPatchNeeded(fromV, toV) == 1 ? -1 : 0;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE HalvorinObject::NewHalvorinNeeded(BSTR* downloadedFiles, LONG* patchNeeded) {
    if (appID_.empty()) return E_FAIL;
    if (downloadedFiles == nullptr || patchNeeded == nullptr) return E_POINTER;
    std::vector<std::string> downloaded;
    *patchNeeded = Context().IsHalvorinNeeded(&downloaded);
    std::string list;
    for (const std::string& path : downloaded) list += path + "|";
    *downloadedFiles = BstrFromText(list, kListBufferChars);  // cut at 65,535 characters
    return S_OK;
}

HRESULT STDMETHODCALLTYPE HalvorinObject::RefreshImage() {
    if (appID_.empty()) return E_FAIL;
    EngineContext& context = Context();
    // A fresh or replaced image is fetched by GetImage already, so a first call transfers twice.
    if (!context.CurrentImage(context.referer).fetched) return S_OK;
    Failure failure;
    if (!RefreshCachedImage(context.imageHolder, referer_, &failure)) context.Report(failure);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE HalvorinObject::StartPatch(LONG processID, BSTR processExec, BSTR workingDir,
                                                     BSTR successParams, BSTR failParams, LONG fromVersion,
                                                     LONG toVersion) {
    if (appID_.empty()) return E_FAIL;
    // A second object of this class for the run to hold: the server lives on while it runs,
    // also after the client has released its object and ended. A failed creation leaves
    // nothing to hold.
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
    return Context().StartPatch(request, std::move(keepAlive)) ? S_OK : E_FAIL;
}

HRESULT STDMETHODCALLTYPE HalvorinObject::GetModuleList(BSTR* moduleList) {
    if (appID_.empty()) return E_FAIL;
    if (moduleList == nullptr) return E_POINTER;
    EngineContext& context = Context();
    const ImageResult current = context.CurrentImage(context.referer);
    *moduleList = BstrFromText(BuildModuleListText(*current.image), kListBufferChars);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE HalvorinObject::DownloadModule(BSTR moduleName, LONG showUI, LONG* result) {
    if (appID_.empty()) return E_FAIL;
    if (result == nullptr) return E_POINTER;
    *result = Context().DownloadModuleFiles(TextFromBstr(moduleName), showUI != 0) == 1 ? -1 : 0;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE HalvorinObject::ShowErrorReport() {
    MessageBoxA(nullptr, "ShowErrorReport() unimplemented.", "Halvorin", MB_OK);
    return E_FAIL;
}

HRESULT STDMETHODCALLTYPE HalvorinObject::WriteErrorReport(BSTR fileName) {
    if (appID_.empty()) return E_FAIL;
    const std::string path = TextFromBstr(fileName);
    Context().errorReport.AppendToFile(path);  // a file that cannot be opened is no failure
    return S_OK;
}

HRESULT STDMETHODCALLTYPE HalvorinObject::put_logFile(BSTR value) {
    if (appID_.empty()) return E_FAIL;
    const std::string path = TextFromBstr(value);
    Context().log.SetPath(path);
    return S_OK;
}
