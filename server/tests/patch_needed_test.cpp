// PatchNeeded through COM against a real site: the version path, the mandatory files,
// the deletion probe and the "[exec_always]" programs, each seen in the answer, the log
// and the error report.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "common/bstr.h"
#include "common/com_ptr.h"
#include "common/win_handles.h"
#include "files/file_identity.h"
#include "tests/helpers/test_support.h"
#include "tests/support/http_control.h"
#include "halvorin_idl.h"
#include "server/tests/engine_site_test.h"

using namespace testing_support;

namespace {

class PatchNeededTest : public engine_site::EngineSiteTest {
protected:
    void TearDown() override {
        engine_ = ComPtr<IHalvorin>();
        EngineSiteTest::TearDown();
    }

    // A new engine (an appID of its own) on the image with these lines.
    void Engine(const std::string& imageLines) {
        static int count = 0;
        const std::string name = "decision" + std::to_string(++count);
        engine_ = EngineSiteTest::Engine(name, imageLines);
        ASSERT_TRUE(engine_);
        log_ = EngineSiteTest::Log(name);
    }

    LONG Ask(LONG fromV, LONG toV) {
        LONG answer = 7;
        EXPECT_EQ(S_OK, engine_->PatchNeeded(fromV, toV, &answer));
        return answer;
    }

    // The report lines ("- text") of the last operation.
    std::vector<std::string> Report() { return EngineSiteTest::Report(engine_.Get()); }

    std::string Log() { return ReadWholeFile(log_); }

    // A FILE line for a file of the application directory as it is on disk.
    std::string FileLine(const std::string& name, const std::string& flags = "none") {
        UniqueHandle file(CreateFileA(app_.File(name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                      nullptr));
        const std::string size = std::to_string(file ? GetFileSize(file.get(), nullptr) : 0);
        const std::string id = file ? ComputeFileId(file.get()) : "00FFFFFFFF";
        return "FILE site/" + name + " " + name + " " + size + " " + size + " 1/2/2001 1:05:00 " + flags + " " + id +
               "\r\n";
    }

    ComPtr<IHalvorin> engine_;
    std::string log_;
};

TEST_F(PatchNeededTest, VersionPathsAnswerYesWithTheirTexts) {
    struct Case {
        const char* steps;
        LONG fromV, toV;
    };
    const Case cases[] = {
        {"FROM V1 TO V2 p12.rtp 10\r\nFROM V2 TO V3 p23.rtp 10\r\nFROM V1 TO V3 p13.rtp 10\r\n", 1, 3},
        {"FROM V1 TO V2 p12.rtp 10\r\nFROM V2 TO V3 p23.rtp 10\r\n", 1, 5},  // ends short of 5
        {"FROM V2 TO V1 p21.rtp 10\r\nFROM V1 TO V4 p14.rtp 10\r\n", 2, 4},  // starts against the direction
        {"FROM V3 TO V2 p32.rtp 10\r\nFROM V2 TO V1 p21.rtp 10\r\n", 3, 1},  // a downgrade
        {"FROM V1 TO V3 p13.rtp 10\r\nFROM V1 TO V2 p12.rtp 10\r\n", 1, 3},  // two of one step
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.steps);
        // A mandatory file that is missing: the path alone decides, it is never verified.
        Engine(std::string("[Patches]\r\n") + c.steps + "[Mandatory]\r\n" + FileLine("missing.dll"));
        EXPECT_EQ(-1, Ask(c.fromV, c.toV));
        const std::string versions = "v" + std::to_string(c.fromV) + " to v" + std::to_string(c.toV);
        EXPECT_EQ(std::vector<std::string>{"Version upgrade from " + versions + "."}, Report());
        EXPECT_EQ("\r\n----IsPatchNeeded:\r\nFound patch from " + versions, Log());
    }
    // No step leaves the installed version: the mandatory file decides.
    Engine("[Patches]\r\nFROM V2 TO V3 p23.rtp 10\r\n[Mandatory]\r\n" + FileLine("missing.dll"));
    EXPECT_EQ(-1, Ask(1, 3));
    EXPECT_NE(std::string::npos, Log().find("\r\nMandatory file out of sync.")) << Log();
}

TEST_F(PatchNeededTest, MandatoryFilesAndDeletionsDecideWithoutAPath) {
    ASSERT_TRUE(WriteWholeFile(app_.File("app.exe"), "the program"));
    ASSERT_TRUE(WriteWholeFile(app_.File("old.dat"), "to be deleted"));
    const std::string inSync = FileLine("app.exe");

    // Two missing files: both verified and reported.
    Engine("[Mandatory]\r\n" + FileLine("one.dll") + FileLine("two.dll") + inSync);
    EXPECT_EQ(-1, Ask(4, 4));
    const std::vector<std::string> report = Report();
    ASSERT_EQ(2u, report.size());
    EXPECT_EQ("Cannot open file " + app_.path() + "/one.dll. The file doesn't exist or is locked.", report[0]);
    EXPECT_EQ("Cannot open file " + app_.path() + "/two.dll. The file doesn't exist or is locked.", report[1]);
    EXPECT_NE(std::string::npos, Log().find(app_.path() + "/app.exe : OK")) << "verified after the missing ones";
    EXPECT_NE(std::string::npos, Log().find("\r\nMandatory file out of sync."));

    // In sync, versions equal: no, with the time of the check and nothing else to do.
    Engine("[Mandatory]\r\n" + inSync + "DELETE FILE gone.dat\r\n");
    EXPECT_EQ(0, Ask(4, 4));
    EXPECT_TRUE(Report().empty());
    const std::string log = Log();
    EXPECT_EQ(0u, log.find("\r\n----IsPatchNeeded:\r\n " + app_.path() + "/app.exe : OK\r\nCheck took ")) << log;
    EXPECT_EQ("ms.", log.substr(log.size() - 3));

    // A listed file that exists is yes; held by another process without read sharing, it
    // cannot be seen and counts as gone.
    Engine("[Mandatory]\r\n" + inSync + "DELETE FILE gone.dat\r\nDELETE FILE old.dat\r\n");
    EXPECT_EQ(-1, Ask(4, 4));
    EXPECT_NE(std::string::npos, Log().find("\r\nFiles need to be deleted"));
    HeldFile held(app_.File("old.dat"));
    ASSERT_TRUE(held.holding());
    EXPECT_EQ(0, Ask(4, 4));
}

TEST_F(PatchNeededTest, AlwaysRunProgramsRunAtEveryDecision) {
    ASSERT_TRUE(CreateDirectoryA(app_.File("tools").c_str(), nullptr));
    ASSERT_TRUE(CopyFileA(ChildProgram().c_str(), app_.File("tools\\recorder.exe").c_str(), FALSE));
    ASSERT_TRUE(CopyFileA(ChildProgram().c_str(), app_.File("tools\\installed.exe").c_str(), FALSE));
    const std::string runs = app_.File("tools\\runs.log");
    // A marker in capitals counts; "[exec]" alone is for installations only.
    Engine("[Mandatory]\r\n" + FileLine("tools\\recorder.exe", "[EXEC_ALWAYS]") +
           FileLine("tools\\installed.exe", "[exec]"));
    EXPECT_EQ(0, Ask(4, 4));
    EXPECT_EQ("run\n", ReadWholeFile(runs));
    EXPECT_EQ(0, Ask(4, 4));
    EXPECT_EQ("run\nrun\n", ReadWholeFile(runs));
    EXPECT_NE(std::string::npos,
              Log().find("\r\n[exec_always]Executing command line: " + app_.path() + "/tools\\recorder.exe."))
        << Log();
    EXPECT_EQ(std::string::npos, Log().find("[exec]Executing"));
    {
        // Another process holds the program: it is not started, and the decision goes on.
        HeldFile held(app_.File("tools\\recorder.exe"));
        ASSERT_TRUE(held.holding());
        EXPECT_EQ(-1, Ask(4, 4));  // held, so it cannot be verified either
    }
    EXPECT_EQ("run\nrun\n", ReadWholeFile(runs));
}

}  // namespace
