// RefreshImage and GetModuleList through COM, against a real HTTP site.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "common/bstr.h"
#include "common/com_ptr.h"
#include "tests/helpers/test_support.h"
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
