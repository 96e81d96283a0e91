// The automation object in this process: property texts, the appID rule, binding to the
// shared engine context, the log and error report members.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "common/bstr.h"
#include "common/com_ptr.h"
#include "engine/context_registry.h"
#include "engine/engine_context.h"
#include "server/class_factory.h"
#include "tests/helpers/test_support.h"
#include "tests/robot/ui_robot.h"
#include "halvorin_idl.h"

using namespace testing_support;

namespace {

ComPtr<IHalvorin> NewObject() {
    static HalvorinClassFactory factory;
    ComPtr<IHalvorin> object;
    EXPECT_EQ(S_OK, factory.CreateInstance(nullptr, IID_IHalvorin, object.ReceiveVoid()));
    return object;
}

std::wstring UniqueAppId(const char* name) {
    return L"object-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::wstring(name, name + strlen(name));
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// Property accessors of one text property, for table-driven checks.
struct TextProperty {
    const char* name;
    HRESULT (STDMETHODCALLTYPE IHalvorin::*get)(BSTR*);
    HRESULT (STDMETHODCALLTYPE IHalvorin::*put)(BSTR);
};

const TextProperty kTextProperties[] = {
    {"url", &IHalvorin::get_url, &IHalvorin::put_url},
    {"userName", &IHalvorin::get_userName, &IHalvorin::put_userName},
    {"userPassword", &IHalvorin::get_userPassword, &IHalvorin::put_userPassword},
    {"downloadDirectory", &IHalvorin::get_downloadDirectory, &IHalvorin::put_downloadDirectory},
    {"appDirectory", &IHalvorin::get_appDirectory, &IHalvorin::put_appDirectory},
    {"appID", &IHalvorin::get_appID, &IHalvorin::put_appID},
    {"imagePath", &IHalvorin::get_imagePath, &IHalvorin::put_imagePath},
    {"referer", &IHalvorin::get_referer, &IHalvorin::put_referer},
};

class ComApartment {
public:
    ComApartment() { CoInitialize(nullptr); }
    ~ComApartment() { CoUninitialize(); }
};

}  // namespace

TEST(HalvorinObject, TextPropertiesRoundTripAndAreCutAt255Characters) {
    ComApartment apartment;
    auto object = NewObject();
    ASSERT_TRUE(object);
    const std::wstring full255 = std::wstring(254, L'a') + L'Z';
    const std::wstring long1000 = std::wstring(255, L'b') + std::wstring(745, L'c');
    for (const auto& property : kTextProperties) {
        SCOPED_TRACE(property.name);
        BSTR value = nullptr;
        ASSERT_EQ(S_OK, (object.Get()->*property.get)(&value));
        EXPECT_EQ(L"", TakeWide(value));  // born empty

        const std::wstring text = std::wstring(L"value of ") + std::wstring(property.name, property.name + strlen(property.name)) + L" \x00e9";
        ASSERT_EQ(S_OK, (object.Get()->*property.put)(Bstr(text)));
        ASSERT_EQ(S_OK, (object.Get()->*property.get)(&value));
        EXPECT_EQ(text, TakeWide(value));

        ASSERT_EQ(S_OK, (object.Get()->*property.put)(Bstr(full255)));
        ASSERT_EQ(S_OK, (object.Get()->*property.get)(&value));
        EXPECT_EQ(full255, TakeWide(value));

        ASSERT_EQ(S_OK, (object.Get()->*property.put)(Bstr(long1000)));
        ASSERT_EQ(S_OK, (object.Get()->*property.get)(&value));
        EXPECT_EQ(std::wstring(255, L'b'), TakeWide(value));

        ASSERT_EQ(S_OK, (object.Get()->*property.put)(nullptr));  // a null string is empty
        ASSERT_EQ(S_OK, (object.Get()->*property.get)(&value));
        EXPECT_EQ(L"", TakeWide(value));

        ASSERT_EQ(S_OK, (object.Get()->*property.put)(Bstr(std::wstring(L"ab\0cd", 5))));
        ASSERT_EQ(S_OK, (object.Get()->*property.get)(&value));
        EXPECT_EQ(L"ab", TakeWide(value));  // the text ends at an embedded zero
    }

    BSTR directory = nullptr;
    ASSERT_EQ(S_OK, object->get_halvorinDirectory(&directory));
    EXPECT_EQ(0, _stricmp(ProgramDirectory().c_str(), Narrow(TakeWide(directory)).c_str()));
    LONG processId = 0;
    ASSERT_EQ(S_OK, object->get_processID(&processId));
    EXPECT_EQ(static_cast<LONG>(GetCurrentProcessId()), processId);
}

TEST(HalvorinObject, MembersThatNeedTheEngineFailWithoutAppId) {
    ComApartment apartment;
    auto object = NewObject();
    ASSERT_TRUE(object);
    ASSERT_EQ(S_OK, object->put_url(Bstr(L"example.invalid")));
    LONG number = 7;
    BSTR text = nullptr;
    EXPECT_EQ(E_FAIL, object->PatchNeeded(1, 2, &number));
    EXPECT_EQ(E_FAIL, object->NewHalvorinNeeded(&text, &number));
    EXPECT_EQ(E_FAIL, object->RefreshImage());
    EXPECT_EQ(E_FAIL, object->StartPatch(0, Bstr(L"app.exe"), Bstr(L""), Bstr(L""), Bstr(L""), 1, 2));
    EXPECT_EQ(E_FAIL, object->GetModuleList(&text));
    EXPECT_EQ(E_FAIL, object->DownloadModule(Bstr(L"Tools"), 0, &number));
    EXPECT_EQ(E_FAIL, object->WriteErrorReport(Bstr(L"C:\\report.txt")));
    EXPECT_EQ(E_FAIL, object->put_logFile(Bstr(L"C:\\engine.log")));
    EXPECT_EQ(7, number);      // nothing written
    EXPECT_EQ(nullptr, text);
    const size_t contexts = ContextCount();
    EXPECT_EQ(S_OK, object->put_referer(Bstr(L"r")));
    EXPECT_EQ(contexts, ContextCount());  // no context without appID
}

TEST(HalvorinObject, ShowErrorReportShowsItsNoticeAndFailsEvenWithoutAppId) {
    ComApartment apartment;
    auto object = NewObject();
    ASSERT_TRUE(object);
    uirobot::WindowFilter filter;
    filter.processId = GetCurrentProcessId();
    uirobot::BoxWatcher watcher(filter);
    EXPECT_EQ(E_FAIL, object->ShowErrorReport());
    ASSERT_TRUE(watcher.WaitForCount(1, 5000));
    EXPECT_EQ("Halvorin", watcher.Seen()[0].caption);
    EXPECT_EQ("ShowErrorReport() unimplemented.", watcher.Seen()[0].text);
    EXPECT_EQ(1u, watcher.Seen()[0].buttonIds.size());
}

TEST(HalvorinObject, PropertiesReachTheContextOfTheAppId) {
    ComApartment apartment;
    const std::wstring appId = UniqueAppId("binding");
    auto first = NewObject();
    ASSERT_EQ(S_OK, first->put_url(Bstr(L"site.example")));
    ASSERT_EQ(S_OK, first->put_imagePath(Bstr(L"/image.img")));
    ASSERT_EQ(S_OK, first->put_userName(Bstr(L"user")));
    ASSERT_EQ(S_OK, first->put_userPassword(Bstr(L"secret")));
    ASSERT_EQ(S_OK, first->put_appID(Bstr(appId)));  // the earlier values reach the context now
    EngineContext& context = FindOrCreateContext(Narrow(appId));
    EXPECT_EQ("site.example", context.url);
    EXPECT_EQ("/image.img", context.imagePath);
    EXPECT_EQ("user", context.userName);
    EXPECT_EQ("secret", context.userPassword);

    // A second object of the same appID shares the context: the last write wins for both.
    auto second = NewObject();
    ASSERT_EQ(S_OK, second->put_appID(Bstr(appId)));
    EXPECT_EQ("", context.url);  // the second object's (empty) texts were copied
    ASSERT_EQ(S_OK, second->put_url(Bstr(L"second.example")));
    EXPECT_EQ("second.example", context.url);
    ASSERT_EQ(S_OK, first->put_referer(Bstr(L"ref")));
    EXPECT_EQ("site.example", context.url);
    EXPECT_EQ("ref", context.referer);

    // Changing appID keeps the object on its first context.
    const size_t contexts = ContextCount();
    ASSERT_EQ(S_OK, first->put_appID(Bstr(appId + L"-other")));
    ASSERT_EQ(S_OK, first->put_downloadDirectory(Bstr(L"C:\\dl")));
    EXPECT_EQ("C:\\dl", context.downloadDirectory);
    EXPECT_EQ(contexts, ContextCount());
}

TEST(HalvorinObject, LogAndReportAreSharedByObjectsOfOneAppId) {
    ComApartment apartment;
    ScratchDirectory dir("object-log");
    const std::wstring appId = UniqueAppId("shared-log");
    auto first = NewObject();
    auto second = NewObject();
    ASSERT_EQ(S_OK, first->put_appID(Bstr(appId)));
    ASSERT_EQ(S_OK, second->put_appID(Bstr(appId)));
    const std::string logPath = dir.File("engine.log");
    ASSERT_EQ(S_OK, first->put_logFile(Bstr(std::wstring(logPath.begin(), logPath.end()))));
    EXPECT_FALSE(FileExists(logPath));  // setting the path writes nothing

    EngineContext& context = FindOrCreateContext(Narrow(appId));
    context.WriteLog("\r\n%s", "from the engine");
    EXPECT_EQ("\r\nfrom the engine", ReadWholeFile(logPath));

    // What the engine found is written out by any object of the appID.
    context.errorReport.Clear();
    context.errorReport.Add("Version upgrade from v1 to v3.");
    const std::string reportPath = dir.File("report.txt");
    const std::wstring wideReport(reportPath.begin(), reportPath.end());
    EXPECT_EQ(S_OK, second->WriteErrorReport(Bstr(wideReport)));
    EXPECT_EQ(S_OK, first->WriteErrorReport(Bstr(wideReport)));
    EXPECT_EQ("- Version upgrade from v1 to v3.\r\n- Version upgrade from v1 to v3.\r\n", ReadWholeFile(reportPath));
    EXPECT_EQ(S_OK, second->WriteErrorReport(Bstr(L"Q:\\no\\such\\dir\\report.txt")));  // still S_OK

    // An empty logFile turns logging off for every object of the appID.
    ASSERT_EQ(S_OK, second->put_logFile(Bstr(L"")));
    context.WriteLog("\r\nlost");
    EXPECT_EQ("\r\nfrom the engine", ReadWholeFile(logPath));
}

TEST(HalvorinObject, AnswersOnlyItsInterfaces) {
    ComApartment apartment;
    auto object = NewObject();
    ComPtr<IUnknown> unknown;
    ComPtr<IDispatch> dispatch;
    ComPtr<IHalvorin2> second;
    ComPtr<ISupportErrorInfo> errors;
    EXPECT_EQ(S_OK, object->QueryInterface(IID_IUnknown, unknown.ReceiveVoid()));
    EXPECT_EQ(S_OK, object->QueryInterface(IID_IDispatch, dispatch.ReceiveVoid()));
    EXPECT_EQ(S_OK, object->QueryInterface(IID_IHalvorin2, second.ReceiveVoid()));
    EXPECT_EQ(S_OK, object->QueryInterface(IID_ISupportErrorInfo, errors.ReceiveVoid()));
    EXPECT_EQ(static_cast<IUnknown*>(object.Get()), unknown.Get());
    EXPECT_EQ(static_cast<IHalvorin*>(second.Get()), object.Get());
    EXPECT_EQ(S_OK, errors->InterfaceSupportsErrorInfo(IID_IHalvorin));
    EXPECT_EQ(S_OK, errors->InterfaceSupportsErrorInfo(IID_IHalvorin2));
    EXPECT_EQ(S_FALSE, errors->InterfaceSupportsErrorInfo(IID_IClassFactory));
    for (const IID* other : {&IID_IClassFactory, &IID_IProvideClassInfo, &IID_IMarshal, &IID_IPersist}) {
        void* result = reinterpret_cast<void*>(1);
        EXPECT_EQ(E_NOINTERFACE, object->QueryInterface(*other, &result));
        EXPECT_EQ(nullptr, result);
    }
    UINT count = 0;
    EXPECT_EQ(S_OK, object->GetTypeInfoCount(&count));
    EXPECT_EQ(1u, count);
}
