// RefreshImage and GetModuleList through COM, against a real HTTP site.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "common/bstr.h"
#include "common/com_ptr.h"
#include "tests/helpers/test_support.h"
#include "tests/robot/ui_robot.h"
#include "tests/support/http_control.h"
#include "halvorin_idl.h"

using namespace testing_support;

namespace {

const char kModulesImage[] =
    "' the example image with two modules\r\n"
    "[VERSION 7]\r\n"
    "[Modules]\r\n"
    "MODULE Tools Handy tools\r\n"
    "FILE tools\\t.exe tools/t.exe 1000 800 1/2/2001 1:05:00 none\r\n"
    "MODULE Extras\r\n"
    "FILE extras\\e.dat e.dat 10 10 1/2/2001 1:05:00 none\r\n";

int CountRequests(const std::string& path) {
    int count = 0;
    for (const auto& request : httpcontrol::ReadRequestLog()) count += request.path == path && request.status == 200;
    return count;
}

class ImageMembersTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_EQ(0, RunProcess("\"" + ProgramDirectory() + "halvorin.exe\" -regserver"));
    }
    void SetUp() override {
        ASSERT_FALSE(httpcontrol::ControlDir().empty()) << "run me through with_http_server.sh";
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
        ASSERT_TRUE(WriteWholeFile(httpcontrol::RootDir() + "modules.img", kModulesImage));
        httpcontrol::ClearRules();
        httpcontrol::ClearRequestLog();
    }
    void TearDown() override { CoUninitialize(); }

    ComPtr<IHalvorin> Engine(const std::string& appId) {
        ComPtr<IHalvorin> engine;
        EXPECT_EQ(S_OK, CoCreateInstance(CLSID_Halvorin, nullptr, CLSCTX_LOCAL_SERVER, IID_IHalvorin,
                                         engine.ReceiveVoid()));
        if (!engine) return engine;
        EXPECT_EQ(S_OK, engine->put_url(Bstr(httpcontrol::ServerAddress())));
        EXPECT_EQ(S_OK, engine->put_imagePath(Bstr("/modules.img")));
        EXPECT_EQ(S_OK, engine->put_referer(Bstr("http://referrer.example/page")));
        EXPECT_EQ(S_OK, engine->put_appID(Bstr(appId + "-" + std::to_string(GetCurrentProcessId()))));
        return engine;
    }
};

}  // namespace

TEST_F(ImageMembersTest, GetModuleListGivesEveryModuleInMapOrder) {
    auto engine = Engine("module-list");
    ASSERT_TRUE(engine);
    BSTR list = nullptr;
    ASSERT_EQ(S_OK, engine->GetModuleList(&list));
    EXPECT_EQ("Extras||Tools|Handy tools|", TakeAnsi(list));
    ASSERT_EQ(S_OK, engine->GetModuleList(&list));
    EXPECT_EQ("Extras||Tools|Handy tools|", TakeAnsi(list));
    EXPECT_EQ(1, CountRequests("/modules.img"));  // the cached image answers the second call

    // The list reflects a new image only once the cache is refreshed.
    ASSERT_TRUE(WriteWholeFile(httpcontrol::RootDir() + "modules.img",
                               "[VERSION 8]\r\n[Modules]\r\nMODULE Solo\r\n"
                               "FILE s.dat s.dat 1 1 1/2/2001 1:05:00 none\r\n"));
    ASSERT_EQ(S_OK, engine->RefreshImage());
    ASSERT_EQ(S_OK, engine->GetModuleList(&list));
    EXPECT_EQ("Solo||", TakeAnsi(list));
}

TEST_F(ImageMembersTest, RefreshImageTransfersTwiceOnAFreshContextThenOnce) {
    auto engine = Engine("refresh");
    ASSERT_TRUE(engine);
    ASSERT_EQ(S_OK, engine->RefreshImage());
    EXPECT_EQ(2, CountRequests("/modules.img"));
    ASSERT_EQ(S_OK, engine->RefreshImage());
    EXPECT_EQ(3, CountRequests("/modules.img"));
    for (const auto& request : httpcontrol::ReadRequestLog()) {
        EXPECT_EQ("http://referrer.example/page", request.referer) << request.line;
        EXPECT_EQ("Halvorin", request.userAgent) << request.line;
    }
}

// IHalvorin2 through the virtual table, as a compiled client reaches it from IHalvorin:
// the image's version, and failures told in lastError without a box when silent.
TEST_F(ImageMembersTest, TheSecondInterfaceTellsTheVersionAndWhyWithoutABox) {
    auto first = Engine("second-interface");
    ASSERT_TRUE(first);
    ComPtr<IHalvorin2> engine;
    ASSERT_EQ(S_OK, first->QueryInterface(IID_IHalvorin2, engine.ReceiveVoid()));
    LONG version = 0;
    ASSERT_EQ(S_OK, engine->get_latestVersion(&version));
    EXPECT_EQ(7, version);
    BSTR text = nullptr;
    ASSERT_EQ(S_OK, engine->get_moduleList(&text));
    EXPECT_EQ("Extras||Tools|Handy tools|", TakeAnsi(text));
    ASSERT_EQ(S_OK, engine->get_lastError(&text));
    EXPECT_EQ("", TakeAnsi(text));

    // Silent: a missing image, a module that is not there and a run that is refused show
    // no box; each leaves its reason.
    uirobot::WindowFilter server;
    LONG id = 0;
    ASSERT_EQ(S_OK, engine->get_processID(&id));
    server.processId = static_cast<DWORD>(id);
    uirobot::BoxWatcher boxes(server);
    ASSERT_EQ(S_OK, engine->put_silent(VARIANT_TRUE));
    ASSERT_EQ(S_OK, engine->put_imagePath(Bstr("/missing.img")));
    LONG needed = 7;
    ASSERT_EQ(S_OK, engine->PatchNeeded(1, 2, &needed));
    EXPECT_EQ(0, needed);
    ASSERT_EQ(S_OK, engine->get_lastError(&text));
    const std::string missing = "File /missing.img could not be downloaded from site " + httpcontrol::ServerAddress() + ".";
    EXPECT_EQ(missing, TakeAnsi(text));
    EXPECT_EQ(E_FAIL, engine->get_latestVersion(&version));
    ASSERT_EQ(S_OK, engine->get_lastError(&text));
    EXPECT_EQ(missing, TakeAnsi(text));
    ASSERT_EQ(S_OK, engine->put_imagePath(Bstr("/modules.img")));
    LONG installed = 7;
    ASSERT_EQ(S_OK, engine->DownloadModule(Bstr("Nothing"), 0, &installed));
    EXPECT_EQ(0, installed);
    ASSERT_EQ(S_OK, engine->get_lastError(&text));
    EXPECT_EQ("the update image has no module Nothing", TakeAnsi(text));
    EXPECT_EQ(E_FAIL, engine->ShowErrorReport());
    ASSERT_EQ(S_OK, engine->get_lastError(&text));
    EXPECT_NE(std::string::npos, TakeAnsi(text).find("WriteErrorReport"));
    boxes.Stop();
    EXPECT_EQ(0u, boxes.Count()) << boxes.Seen()[0].text;
}
