// A C++ client of the registered server in its own process: the virtual table, IDispatch
// over the type description, and the type library itself.
#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <string>

#include "common/bstr.h"
#include "common/com_ptr.h"
#include "tests/helpers/test_support.h"
#include "tests/robot/ui_robot.h"
#include "halvorin_idl.h"

using namespace testing_support;

namespace {

class ComClientTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_EQ(0, RunProcess("\"" + ProgramDirectory() + "halvorin.exe\" -regserver"));
    }
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr))); }
    void TearDown() override { CoUninitialize(); }

    ComPtr<IHalvorin> Create() {
        ComPtr<IHalvorin> engine;
        EXPECT_EQ(S_OK, CoCreateInstance(CLSID_Halvorin, nullptr, CLSCTX_LOCAL_SERVER, IID_IHalvorin,
                                         engine.ReceiveVoid()));
        return engine;
    }
};

}  // namespace

TEST_F(ComClientTest, VirtualTableMembersAcrossTheProcessBoundary) {
    auto engine = Create();
    ASSERT_TRUE(engine);
    LONG serverProcess = 0;
    ASSERT_EQ(S_OK, engine->get_processID(&serverProcess));
    EXPECT_NE(static_cast<LONG>(GetCurrentProcessId()), serverProcess);
    BSTR directory = nullptr;
    ASSERT_EQ(S_OK, engine->get_halvorinDirectory(&directory));
    const std::wstring wideDirectory = TakeWide(directory);
    EXPECT_EQ(0, _stricmp(ProgramDirectory().c_str(), std::string(wideDirectory.begin(), wideDirectory.end()).c_str()));

    const std::wstring full255(255, L'x');
    ASSERT_EQ(S_OK, engine->put_imagePath(Bstr(full255)));
    BSTR value = nullptr;
    ASSERT_EQ(S_OK, engine->get_imagePath(&value));
    EXPECT_EQ(full255, TakeWide(value));
    ASSERT_EQ(S_OK, engine->put_referer(Bstr(std::wstring(1000, L'r'))));
    ASSERT_EQ(S_OK, engine->get_referer(&value));
    EXPECT_EQ(std::wstring(255, L'r'), TakeWide(value));

    // Before appID: exactly the members that need the engine fail.
    LONG number = 5;
    BSTR list = nullptr;
    EXPECT_EQ(E_FAIL, engine->PatchNeeded(1, 2, &number));
    EXPECT_EQ(E_FAIL, engine->NewHalvorinNeeded(&list, &number));
    EXPECT_EQ(E_FAIL, engine->RefreshImage());
    EXPECT_EQ(E_FAIL, engine->StartPatch(0, Bstr(L"a.exe"), Bstr(L""), Bstr(L""), Bstr(L""), 1, 2));
    EXPECT_EQ(E_FAIL, engine->GetModuleList(&list));
    EXPECT_EQ(E_FAIL, engine->DownloadModule(Bstr(L"Tools"), 0, &number));
    EXPECT_EQ(E_FAIL, engine->WriteErrorReport(Bstr(L"C:\\r.txt")));
    EXPECT_EQ(E_FAIL, engine->put_logFile(Bstr(L"C:\\l.log")));
    {
        uirobot::WindowFilter filter;
        filter.processId = static_cast<DWORD>(serverProcess);
        uirobot::BoxWatcher watcher(filter);
        EXPECT_EQ(E_FAIL, engine->ShowErrorReport());
        ASSERT_TRUE(watcher.WaitForCount(1, 5000));
        EXPECT_EQ("ShowErrorReport() unimplemented.", watcher.Seen()[0].text);
    }

    ScratchDirectory dir("com-client");
    ASSERT_EQ(S_OK, engine->put_appID(Bstr(L"com-client-" + std::to_wstring(GetCurrentProcessId()))));
    const std::string log = dir.File("engine.log");
    EXPECT_EQ(S_OK, engine->put_logFile(Bstr(std::wstring(log.begin(), log.end()))));
    const std::string report = dir.File("report.txt");
    EXPECT_EQ(S_OK, engine->WriteErrorReport(Bstr(std::wstring(report.begin(), report.end()))));
    EXPECT_TRUE(FileExists(report));  // an empty report creates the file
}

TEST_F(ComClientTest, IDispatchFollowsTheTypeDescription) {
    auto engine = Create();
    ASSERT_TRUE(engine);
    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(S_OK, engine->QueryInterface(IID_IDispatch, dispatch.ReceiveVoid()));
    const std::map<std::wstring, DISPID> expected = {
        {L"url", 1}, {L"userName", 2}, {L"userPassword", 3}, {L"downloadDirectory", 4}, {L"appDirectory", 5},
        {L"PatchNeeded", 6}, {L"NewHalvorinNeeded", 7}, {L"appID", 8}, {L"RefreshImage", 9}, {L"StartPatch", 10},
        {L"imagePath", 11}, {L"referer", 12}, {L"halvorinDirectory", 13}, {L"GetModuleList", 14},
        {L"DownloadModule", 15}, {L"processID", 16}, {L"ShowErrorReport", 17}, {L"WriteErrorReport", 18},
        {L"logFile", 19}};
    for (const auto& [name, id] : expected) {
        std::wstring upper = name;
        for (auto& c : upper) c = static_cast<wchar_t>(towupper(c));  // names match in any case
        for (const std::wstring& spelling : {name, upper}) {
            LPOLESTR names[] = {const_cast<LPOLESTR>(spelling.c_str())};
            DISPID found = -1;
            ASSERT_EQ(S_OK, dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &found));
            EXPECT_EQ(id, found) << std::string(spelling.begin(), spelling.end());
        }
    }
    LPOLESTR unknown[] = {const_cast<LPOLESTR>(L"NoSuchMember")};
    DISPID found = 0;
    EXPECT_EQ(DISP_E_UNKNOWNNAME, dispatch->GetIDsOfNames(IID_NULL, unknown, 1, LOCALE_USER_DEFAULT, &found));

    // A put through Invoke and a get back.
    VARIANT argument;
    VariantInit(&argument);
    argument.vt = VT_BSTR;
    argument.bstrVal = SysAllocString(L"dispatch.example");
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS putParameters = {&argument, &named, 1, 1};
    EXPECT_EQ(S_OK, dispatch->Invoke(1, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &putParameters,
                                     nullptr, nullptr, nullptr));
    VARIANT result;
    VariantInit(&result);
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    EXPECT_EQ(S_OK, dispatch->Invoke(1, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &result,
                                     nullptr, nullptr));
    ASSERT_EQ(VT_BSTR, result.vt);
    EXPECT_EQ(L"dispatch.example", std::wstring(result.bstrVal));
    VariantClear(&result);

    // Members the type description does not have are refused.
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, dispatch->Invoke(19, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET,
                                                      &none, &result, nullptr, nullptr));
    VariantClear(&argument);
    argument.vt = VT_I4;
    argument.lVal = 42;
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, dispatch->Invoke(16, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT,
                                                      &putParameters, nullptr, nullptr, nullptr));
    argument.vt = VT_BSTR;
    argument.bstrVal = SysAllocString(L"C:\\");
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, dispatch->Invoke(13, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT,
                                                      &putParameters, nullptr, nullptr, nullptr));
    VariantClear(&argument);

    // A failing member reaches a late-bound caller as an exception carrying E_FAIL.
    EXCEPINFO exception = {};
    const HRESULT hr = dispatch->Invoke(9, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, nullptr,
                                        &exception, nullptr);
    EXPECT_TRUE(hr == E_FAIL || (hr == DISP_E_EXCEPTION && exception.scode == E_FAIL)) << std::hex << hr;
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);
}

TEST_F(ComClientTest, TypeLibraryDescribesTheClassThenTheInterface) {
    ComPtr<ITypeLib> library;
    ASSERT_EQ(S_OK, LoadRegTypeLib(LIBID_HALVORINLib, 1, 0, 0x0409, library.Receive()));
    TLIBATTR* attributes = nullptr;
    ASSERT_EQ(S_OK, library->GetLibAttr(&attributes));
    EXPECT_EQ(0x0409u, attributes->lcid);
    EXPECT_EQ(1, attributes->wMajorVerNum);
    EXPECT_EQ(0, attributes->wMinorVerNum);
    EXPECT_EQ(sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32, attributes->syskind);
    library->ReleaseTLibAttr(attributes);

    BSTR name = nullptr;
    BSTR help = nullptr;
    ASSERT_EQ(S_OK, library->GetDocumentation(-1, &name, &help, nullptr, nullptr));
    EXPECT_EQ(L"HALVORINLib", TakeWide(name));
    EXPECT_EQ(L"Halvorin 1.0 Type Library", TakeWide(help));

    // The class, IHalvorin, and IHalvorin2 after it.
    ASSERT_EQ(3u, library->GetTypeInfoCount());
    const auto documented = [&](REFGUID guid, const wchar_t* expectedName, const wchar_t* expectedHelp) {
        ComPtr<ITypeInfo> info;
        ASSERT_EQ(S_OK, library->GetTypeInfoOfGuid(guid, info.Receive()));
        ASSERT_EQ(S_OK, info->GetDocumentation(MEMBERID_NIL, &name, &help, nullptr, nullptr));
        EXPECT_EQ(std::wstring(expectedName), TakeWide(name));
        EXPECT_EQ(std::wstring(expectedHelp), TakeWide(help));
    };
    documented(CLSID_Halvorin, L"Halvorin", L"Halvorin Class");
    documented(IID_IHalvorin, L"IHalvorin", L"IHalvorin Interface");
    documented(IID_IHalvorin2, L"IHalvorin2", L"IHalvorin2 Interface");

    // IHalvorin2 is the class's default interface; IHalvorin stays one of its interfaces.
    ComPtr<ITypeInfo> coclass;
    ASSERT_EQ(S_OK, library->GetTypeInfoOfGuid(CLSID_Halvorin, coclass.Receive()));
    TYPEATTR* classAttributes = nullptr;
    ASSERT_EQ(S_OK, coclass->GetTypeAttr(&classAttributes));
    EXPECT_TRUE(classAttributes->wTypeFlags & TYPEFLAG_FCANCREATE);
    EXPECT_EQ(2, classAttributes->cImplTypes);
    coclass->ReleaseTypeAttr(classAttributes);
    const IID* implemented[] = {&IID_IHalvorin2, &IID_IHalvorin};
    for (UINT i = 0; i < 2; ++i) {
        INT implFlags = 0;
        ASSERT_EQ(S_OK, coclass->GetImplTypeFlags(i, &implFlags));
        EXPECT_EQ(i == 0, (implFlags & IMPLTYPEFLAG_FDEFAULT) != 0) << i;
        HREFTYPE reference = 0;
        ComPtr<ITypeInfo> interfaceInfo;
        ASSERT_EQ(S_OK, coclass->GetRefTypeOfImplType(i, &reference));
        ASSERT_EQ(S_OK, coclass->GetRefTypeInfo(reference, interfaceInfo.Receive()));
        TYPEATTR* attributesOfImplemented = nullptr;
        ASSERT_EQ(S_OK, interfaceInfo->GetTypeAttr(&attributesOfImplemented));
        EXPECT_TRUE(IsEqualGUID(*implemented[i], attributesOfImplemented->guid)) << i;
        interfaceInfo->ReleaseTypeAttr(attributesOfImplemented);
    }

    // The interface's own members, in virtual-table order after IDispatch's seven.
    ComPtr<ITypeInfo> dispatchInfo;
    ASSERT_EQ(S_OK, library->GetTypeInfoOfGuid(IID_IHalvorin, dispatchInfo.Receive()));
    TYPEATTR* interfaceAttributes = nullptr;
    ASSERT_EQ(S_OK, dispatchInfo->GetTypeAttr(&interfaceAttributes));
    EXPECT_EQ(TKIND_DISPATCH, interfaceAttributes->typekind);
    EXPECT_TRUE(interfaceAttributes->wTypeFlags & TYPEFLAG_FDUAL) << interfaceAttributes->wTypeFlags;
    EXPECT_TRUE(interfaceAttributes->wTypeFlags & TYPEFLAG_FDISPATCHABLE) << interfaceAttributes->wTypeFlags;
    dispatchInfo->ReleaseTypeAttr(interfaceAttributes);
    HREFTYPE vtableRef = 0;
    ASSERT_EQ(S_OK, dispatchInfo->GetRefTypeOfImplType(-1, &vtableRef));
    ComPtr<ITypeInfo> vtableInfo;
    ASSERT_EQ(S_OK, dispatchInfo->GetRefTypeInfo(vtableRef, vtableInfo.Receive()));
    TYPEATTR* vtableAttributes = nullptr;
    ASSERT_EQ(S_OK, vtableInfo->GetTypeAttr(&vtableAttributes));
    ASSERT_EQ(TKIND_INTERFACE, vtableAttributes->typekind);
    EXPECT_TRUE(vtableAttributes->wTypeFlags & TYPEFLAG_FDUAL) << vtableAttributes->wTypeFlags;
    EXPECT_TRUE(vtableAttributes->wTypeFlags & TYPEFLAG_FOLEAUTOMATION) << vtableAttributes->wTypeFlags;
    ASSERT_EQ(27, vtableAttributes->cFuncs);
    vtableInfo->ReleaseTypeAttr(vtableAttributes);

    struct Member {
        const wchar_t* name;
        INVOKEKIND kind;
        DISPID id;
        short parameters;
        const wchar_t* help;
    };
    const Member members[] = {
        {L"url", INVOKE_PROPERTYGET, 1, 1, L"sets the URL to connect Halvorin to"},
        {L"url", INVOKE_PROPERTYPUT, 1, 1, L"sets the URL to connect Halvorin to"},
        {L"userName", INVOKE_PROPERTYGET, 2, 1, L"OPTIONAL: sets the user name to use when connecting to the URL"},
        {L"userName", INVOKE_PROPERTYPUT, 2, 1, L"OPTIONAL: sets the user name to use when connecting to the URL"},
        {L"userPassword", INVOKE_PROPERTYGET, 3, 1, L"OPTIONAL: sets the password to use when connecting to the URL"},
        {L"userPassword", INVOKE_PROPERTYPUT, 3, 1, L"OPTIONAL: sets the password to use when connecting to the URL"},
        {L"downloadDirectory", INVOKE_PROPERTYGET, 4, 1, L"Directory where downloaded files will be put."},
        {L"downloadDirectory", INVOKE_PROPERTYPUT, 4, 1, L"Directory where downloaded files will be put."},
        {L"appDirectory", INVOKE_PROPERTYGET, 5, 1, L"Base directory of the application"},
        {L"appDirectory", INVOKE_PROPERTYPUT, 5, 1, L"Base directory of the application"},
        {L"PatchNeeded", INVOKE_FUNC, 6, 3, L"Queries if a patch is needed"},
        {L"NewHalvorinNeeded", INVOKE_FUNC, 7, 2, L"Determines if Halvorin itself needs an upgrade"},
        {L"appID", INVOKE_PROPERTYGET, 8, 1, L"Unique ID of application. Can be anything but must be specified."},
        {L"appID", INVOKE_PROPERTYPUT, 8, 1, L"Unique ID of application. Can be anything but must be specified."},
        {L"RefreshImage", INVOKE_FUNC, 9, 0, L"Forces Halvorin to redownload the image file from the URL"},
        {L"StartPatch", INVOKE_FUNC, 10, 7,
         L"Starts the patching process. Halvorin will wait 5 seconds for processID to stop running before starting "
         L"to patch. If the 5 seconds elapse, Halvorin will kill the application before starting the patch process."},
        {L"imagePath", INVOKE_PROPERTYGET, 11, 1, L"This is the path and filename of the image file on the target url"},
        {L"imagePath", INVOKE_PROPERTYPUT, 11, 1, L"This is the path and filename of the image file on the target url"},
        {L"referer", INVOKE_PROPERTYGET, 12, 1, L"Address of server which refered Halvorin to the url"},
        {L"referer", INVOKE_PROPERTYPUT, 12, 1, L"Address of server which refered Halvorin to the url"},
        {L"halvorinDirectory", INVOKE_PROPERTYGET, 13, 1, L"Returns the directory in which lies the Halvorin.exe file."},
        {L"GetModuleList", INVOKE_FUNC, 14, 1, L"Returns the list of all modules separated by a \r character"},
        {L"DownloadModule", INVOKE_FUNC, 15, 3, L"Downloads the specified module"},
        {L"processID", INVOKE_PROPERTYGET, 16, 1, L"Returns the processId of Halvorin.exe"},
        {L"ShowErrorReport", INVOKE_FUNC, 17, 0, L"method ShowErrorReport"},
        {L"WriteErrorReport", INVOKE_FUNC, 18, 1, L"Write the error report in a file."},
        {L"logFile", INVOKE_PROPERTYPUT, 19, 1, L"property logFile"},
    };
    for (UINT index = 0; index < 27; ++index) {
        const Member& member = members[index];
        SCOPED_TRACE(index + 1);
        FUNCDESC* function = nullptr;
        ASSERT_EQ(S_OK, vtableInfo->GetFuncDesc(index, &function));
        EXPECT_EQ(member.id, function->memid);
        EXPECT_EQ(member.kind, function->invkind);
        EXPECT_EQ(member.parameters, function->cParams);
        EXPECT_EQ(static_cast<SHORT>((7 + index) * sizeof(void*)), function->oVft);
        EXPECT_EQ(CC_STDCALL, function->callconv);
        EXPECT_EQ(VT_HRESULT, function->elemdescFunc.tdesc.vt);
        ASSERT_EQ(S_OK, vtableInfo->GetDocumentation(function->memid, &name, nullptr, nullptr, nullptr));
        EXPECT_EQ(std::wstring(member.name), TakeWide(name));
        vtableInfo->ReleaseFuncDesc(function);
    }
    // Help strings, looked up per member id (both accessors of a property share theirs).
    for (const Member& member : members) {
        ASSERT_EQ(S_OK, vtableInfo->GetDocumentation(member.id, nullptr, &help, nullptr, nullptr));
        EXPECT_EQ(std::wstring(member.help), TakeWide(help)) << member.id;
    }

    // Parameter types and directions of the members with out-parameters.
    FUNCDESC* function = nullptr;
    ASSERT_EQ(S_OK, vtableInfo->GetFuncDesc(11, &function));  // NewHalvorinNeeded
    EXPECT_EQ(VT_PTR, function->lprgelemdescParam[0].tdesc.vt);
    EXPECT_EQ(VT_BSTR, function->lprgelemdescParam[0].tdesc.lptdesc->vt);
    EXPECT_EQ(PARAMFLAG_FOUT, function->lprgelemdescParam[0].paramdesc.wParamFlags & (PARAMFLAG_FOUT | PARAMFLAG_FRETVAL));
    EXPECT_EQ(VT_I4, function->lprgelemdescParam[1].tdesc.lptdesc->vt);
    EXPECT_EQ(PARAMFLAG_FOUT | PARAMFLAG_FRETVAL, function->lprgelemdescParam[1].paramdesc.wParamFlags &
                                                      (PARAMFLAG_FOUT | PARAMFLAG_FRETVAL));
    vtableInfo->ReleaseFuncDesc(function);
    ASSERT_EQ(S_OK, vtableInfo->GetFuncDesc(15, &function));  // StartPatch: no direction attributes
    const VARTYPE startPatchTypes[] = {VT_I4, VT_BSTR, VT_BSTR, VT_BSTR, VT_BSTR, VT_I4, VT_I4};
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(startPatchTypes[i], function->lprgelemdescParam[i].tdesc.vt) << i;
        EXPECT_EQ(0, function->lprgelemdescParam[i].paramdesc.wParamFlags & (PARAMFLAG_FIN | PARAMFLAG_FOUT)) << i;
    }
    vtableInfo->ReleaseFuncDesc(function);

    // IHalvorin2's own members follow IHalvorin's in the virtual table.
    ComPtr<ITypeInfo> secondDispatch;
    ASSERT_EQ(S_OK, library->GetTypeInfoOfGuid(IID_IHalvorin2, secondDispatch.Receive()));
    ASSERT_EQ(S_OK, secondDispatch->GetRefTypeOfImplType(-1, &vtableRef));
    ComPtr<ITypeInfo> secondVtable;
    ASSERT_EQ(S_OK, secondDispatch->GetRefTypeInfo(vtableRef, secondVtable.Receive()));
    const Member added[] = {
        {L"latestVersion", INVOKE_PROPERTYGET, 20, 1, L""}, {L"lastError", INVOKE_PROPERTYGET, 21, 1, L""},
        {L"silent", INVOKE_PROPERTYGET, 22, 1, L""},        {L"silent", INVOKE_PROPERTYPUT, 22, 1, L""},
        {L"moduleList", INVOKE_PROPERTYGET, 23, 1, L""},    {L"NewHalvorinFiles", INVOKE_FUNC, 24, 1, L""},
    };
    for (UINT index = 0; index < 6; ++index) {
        SCOPED_TRACE(added[index].name);
        ASSERT_EQ(S_OK, secondVtable->GetFuncDesc(index, &function));
        EXPECT_EQ(added[index].id, function->memid);
        EXPECT_EQ(added[index].kind, function->invkind);
        EXPECT_EQ(static_cast<SHORT>((7 + 27 + index) * sizeof(void*)), function->oVft);
        secondVtable->ReleaseFuncDesc(function);
    }
}
