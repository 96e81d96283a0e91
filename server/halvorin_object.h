// The automation object that every client gets: its property texts, the link to the
// engine context of its appID, and the members of IHalvorin and IHalvorin2. Each
// operation runs in a failure scope of this object's (FailureScope): silent keeps its
// boxes away, and the text of its last failure becomes lastError. Every failing result
// carries error information (IErrorInfo) that says why.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <string>

#include "common/com_ptr.h"
#include "common/diagnostics.h"
#include "halvorin_idl.h"

class EngineContext;

class HalvorinObject : public IHalvorin2, public ISupportErrorInfo {
public:
    HalvorinObject();
    virtual ~HalvorinObject();
    HalvorinObject(const HalvorinObject&) = delete;
    HalvorinObject& operator=(const HalvorinObject&) = delete;

    // IUnknown (reference counting comes from ComObject)
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;

    // IDispatch, over the registered type description of IHalvorin
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                            DISPID* ids) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* parameters,
                                     VARIANT* result, EXCEPINFO* exception, UINT* argumentError) override;

    // IHalvorin, in declaration order
    HRESULT STDMETHODCALLTYPE get_url(BSTR* value) override;
    HRESULT STDMETHODCALLTYPE put_url(BSTR value) override;
    HRESULT STDMETHODCALLTYPE get_userName(BSTR* value) override;
    HRESULT STDMETHODCALLTYPE put_userName(BSTR value) override;
    HRESULT STDMETHODCALLTYPE get_userPassword(BSTR* value) override;
    HRESULT STDMETHODCALLTYPE put_userPassword(BSTR value) override;
    HRESULT STDMETHODCALLTYPE get_downloadDirectory(BSTR* value) override;
    HRESULT STDMETHODCALLTYPE put_downloadDirectory(BSTR value) override;
    HRESULT STDMETHODCALLTYPE get_appDirectory(BSTR* value) override;
    HRESULT STDMETHODCALLTYPE put_appDirectory(BSTR value) override;
    HRESULT STDMETHODCALLTYPE PatchNeeded(LONG fromV, LONG toV, LONG* patchNeeded) override;
    HRESULT STDMETHODCALLTYPE NewHalvorinNeeded(BSTR* downloadedFiles, LONG* patchNeeded) override;
    HRESULT STDMETHODCALLTYPE get_appID(BSTR* value) override;
    HRESULT STDMETHODCALLTYPE put_appID(BSTR value) override;
    HRESULT STDMETHODCALLTYPE RefreshImage() override;
    HRESULT STDMETHODCALLTYPE StartPatch(LONG processID, BSTR processExec, BSTR workingDir, BSTR successParams,
                                         BSTR failParams, LONG fromVersion, LONG toVersion) override;
    HRESULT STDMETHODCALLTYPE get_imagePath(BSTR* value) override;
    HRESULT STDMETHODCALLTYPE put_imagePath(BSTR value) override;
    HRESULT STDMETHODCALLTYPE get_referer(BSTR* value) override;
    HRESULT STDMETHODCALLTYPE put_referer(BSTR value) override;
    HRESULT STDMETHODCALLTYPE get_halvorinDirectory(BSTR* value) override;
    HRESULT STDMETHODCALLTYPE GetModuleList(BSTR* moduleList) override;
    HRESULT STDMETHODCALLTYPE DownloadModule(BSTR moduleName, LONG showUI, LONG* result) override;
    HRESULT STDMETHODCALLTYPE get_processID(LONG* value) override;
    HRESULT STDMETHODCALLTYPE ShowErrorReport() override;
    HRESULT STDMETHODCALLTYPE WriteErrorReport(BSTR fileName) override;
    HRESULT STDMETHODCALLTYPE put_logFile(BSTR value) override;

    // IHalvorin2
    HRESULT STDMETHODCALLTYPE get_latestVersion(LONG* value) override;
    HRESULT STDMETHODCALLTYPE get_lastError(BSTR* value) override;
    HRESULT STDMETHODCALLTYPE get_silent(VARIANT_BOOL* value) override;
    HRESULT STDMETHODCALLTYPE put_silent(VARIANT_BOOL value) override;
    HRESULT STDMETHODCALLTYPE get_moduleList(BSTR* value) override;
    HRESULT STDMETHODCALLTYPE NewHalvorinFiles(BSTR* files) override;
    HRESULT STDMETHODCALLTYPE get_publisherKey(BSTR* value) override;
    HRESULT STDMETHODCALLTYPE put_publisherKey(BSTR value) override;

    // ISupportErrorInfo: both interfaces give error information.
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override;

private:
    // One operation of this object: lastError is cleared, the appID is checked (a failure
    // with error information when it is empty), and the work runs in the object's failure
    // scope; the text of its last failure becomes lastError. The context, which other
    // objects of the appID share, works with this object's publisher key.
    template <typename Work>
    HRESULT Operation(Work work) {
        lastError_.clear();
        if (appID_.empty()) return Error(E_FAIL, "appID is empty: set it before calling any other member");
        LendKeyToContext();
        FailureText failure;
        HRESULT hr;
        {
            FailureScope scope(silent_, &failure);
            hr = work();
        }
        if (lastError_.empty()) lastError_ = failure.Get();
        return hr;
    }
    // The result with error information (IErrorInfo) that says why; also lastError.
    HRESULT Error(HRESULT hr, const std::string& why);
    // The list texts of GetModuleList and NewHalvorinNeeded.
    HRESULT ModuleListText(BSTR* list);
    HRESULT NewHalvorinList(BSTR* list, LONG* needed);

    HRESULT GetText(const std::string& field, BSTR* value);
    HRESULT PutText(std::string& field, BSTR value);
    // The context of appID, bound on first need; a later appID change keeps it.
    EngineContext& Context();
    void CopyPropertiesToContext();
    // The context works with this object's publisher key for the operation that follows.
    void LendKeyToContext();
    HRESULT LoadTypeInfo();
    // True when the call was one of the out-text members called the way scripts call
    // them, and was made; *hr is then its result.
    bool InvokeWithVariantOutText(DISPID id, WORD flags, DISPPARAMS* parameters, VARIANT* result, HRESULT* hr);

    std::string appID_;
    std::string downloadDirectory_;
    std::string appDirectory_;
    std::string userPassword_;
    std::string userName_;
    std::string url_;
    std::string imagePath_;
    std::string referer_;
    EngineContext* context_ = nullptr;
    ComPtr<ITypeInfo> typeInfo_;
    bool silent_ = false;
    std::string publisherKey_;
    std::string lastError_;
};
