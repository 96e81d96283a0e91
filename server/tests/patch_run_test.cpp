// The patch run end to end: a client hands over with StartPatch and ends, the engine
// (halvorin.exe, started by COM) waits for it, downloads and applies patch files from a
// real site with our patchw32.dll, deletes listed files, downloads, expands (expand.exe,
// files made by Debian's mscompress) and installs mandatory files, runs their commands and
// starts the client again; the UI robot presses Cancel and closes failure boxes.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/bstr.h"
#include "common/com_ptr.h"
#include "common/win_handles.h"
#include "files/file_identity.h"
#include "server/tests/server_process.h"
#include "tests/helpers/test_support.h"
#include "tests/robot/ui_robot.h"
#include "tests/support/http_control.h"
#include "halvorin_idl.h"
#include "server/tests/engine_site_test.h"

using namespace testing_support;

namespace {

using namespace engine_site;

bool StampedOn20010102(const std::string& path) {
    UniqueHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    FILETIME lastWrite;
    SYSTEMTIME time;
    return file && GetFileTime(file.get(), nullptr, nullptr, &lastWrite) && FileTimeToSystemTime(&lastWrite, &time) &&
           time.wYear == 2001 && time.wMonth == 1 && time.wDay == 2 && time.wHour == 1 && time.wMinute == 5;
}

class PatchRunTest : public engine_site::EngineSiteTest {
protected:
    static void SetUpTestSuite() {
        EngineSiteTest::SetUpTestSuite();
        // The patch files of the site, v1 to v2 and v2 to v3, made by makepatch.exe.
        ScratchDirectory releases("releases");
        ASSERT_TRUE(MakeReleasePatch(releases.path(), 1, 2, "p12.rtp"));
        ASSERT_TRUE(MakeReleasePatch(releases.path(), 2, 3, "p23.rtp"));
    }

    static std::string PatchLine(int from) {
        return engine_site::PatchLine(from, from + 1, "p" + std::to_string(from) + std::to_string(from + 1) + ".rtp");
    }
};

// The client hands over and ends; the engine lives on, brings the application from v1 to
// v3 and installs what the image asks, then starts the client with its success parameters.
TEST_F(PatchRunTest, TheWholeRoadFromVersion1To3) {
    WriteRelease(app_.path(), 1);
    ASSERT_TRUE(WriteWholeFile(app_.File("old.dat"), "listed for deletion"));
    ASSERT_TRUE(WriteWholeFile(app_.File("app.cfg"), "the old settings"));
    ScratchDirectory elsewhere("run-elsewhere");
    ASSERT_TRUE(WriteWholeFile(elsewhere.File("abs.dat"), "absolute"));
    char system[MAX_PATH] = "";
    GetSystemDirectoryA(system, sizeof system);
    const std::string systemName = "halvorin-run-" + std::to_string(GetCurrentProcessId()) + ".dll";
    ASSERT_TRUE(WriteWholeFile(std::string(system) + "\\" + systemName, "system file"));
    const std::string image = "[Patches]\r\n" + PatchLine(1) + PatchLine(2) + "[Mandatory]\r\n" +
                              FileLine("new.bin", "data\\new.bin", "none") +
                              FileLine("setup.exe", "tools\\setup.exe", "[exec]") +
                              FileLine("app.cfg", "app.cfg", "none") + "DELETE FILE old.dat\r\n" +
                              "DELETE FILE %SYSTEM%\\" + systemName + "\r\nDELETE FILE " + elsewhere.File("abs.dat") +
                              "\r\n";
    ASSERT_TRUE(WriteWholeFile(httpcontrol::RootDir() + "road.img", "[VERSION 3]\r\n" + image));
    const std::string log = Log("road");
    const std::string record = app_.File("relaunched.txt");

    // app.cfg is held by another process until its expansion has begun and a moment more:
    // the copy over it succeeds on a retry.
    auto held = std::make_unique<HeldFile>(app_.File("app.cfg"));
    ASSERT_TRUE(held->holding());
    std::thread releaser([&] {
        for (int i = 0; i < 600 && ReadWholeFile(log).find("app.cfg.hvinstall\".") == std::string::npos; ++i) Sleep(100);
        Sleep(2000);
        held.reset();
    });
    DWORD server = 0;
    {
        // Started now for its process id; released, so that only the run keeps it alive.
        ComPtr<IHalvorin> probe = Engine("probe", "");
        ASSERT_TRUE(probe);
        server = ServerProcess(probe.Get());
    }
    uirobot::BoxWatcher boxes(Of(server));
    const std::string client = "\"" + ProgramDirectory() + "patch_client.exe\" exit " + AppId("road") + " " +
                               httpcontrol::ServerAddress() + " /road.img \"" + app_.path() + "\" \"" +
                               app_.File("download") + "\" \"" + log + "\" \"" + Relaunch(record) + "\" \"" +
                               elsewhere.path() + "\" /ok /failed 1 3";
    EXPECT_EQ(0, RunProcess(client));
    const std::string relaunched = WaitForFile(record);
    releaser.join();
    EXPECT_EQ(0u, boxes.Count()) << (boxes.Count() ? boxes.Seen()[0].text : "");

    EXPECT_EQ(Relaunch(record) + " /ok\n" + elsewhere.path() + "\n", relaunched);
    EXPECT_TRUE(SameAsRelease(app_.path(), 3));
    EXPECT_FALSE(FileExists(app_.File("p12.rtp")) || FileExists(app_.File("p23.rtp")));
    EXPECT_FALSE(FileExists(app_.File("download\\.hvpatch"))) << "the patch files' folder stays";
    EXPECT_FALSE(FileExists(app_.File("old.dat")));
    EXPECT_FALSE(FileExists(std::string(system) + "\\" + systemName));
    EXPECT_FALSE(FileExists(elsewhere.File("abs.dat")));
    EXPECT_TRUE(ReadWholeFile(app_.File("data\\new.bin")) == ReadWholeFile(httpcontrol::RootDir() + "plain\\new.bin"));
    EXPECT_TRUE(StampedOn20010102(app_.File("data\\new.bin")));
    EXPECT_TRUE(ReadWholeFile(app_.File("app.cfg")) == ReadWholeFile(httpcontrol::RootDir() + "plain\\app.cfg"));
    EXPECT_EQ("run\n", ReadWholeFile(app_.File("tools\\runs.log"))) << "the installed command ran once";
    EXPECT_FALSE(FileExists(app_.File("download\\data\\new.bin")) || FileExists(app_.File("download\\data\\new.bin_")));
    const std::string text = ReadWholeFile(log);
    EXPECT_EQ(0u, text.find("\r\n----StartPatch:")) << text;
    EXPECT_NE(std::string::npos, text.find("\r\nPatch process successful."));
}

// A step that cannot be downloaded ends the chain, and the run: the installation stays on
// the release it was on, and no file of the chain's road is started. Meanwhile the engine
// refuses a second run of the same appID, runs one of another appID, and ends a client
// that does not end by itself.
TEST_F(PatchRunTest, FailuresAndTwoRunsAtOnce) {
    WriteRelease(app_.path(), 1);
    ComPtr<IHalvorin> busy = Engine("busy", "[Patches]\r\nFROM V1 TO V2 patches/none.rtp 100\r\n" + PatchLine(2) +
                                                "[Mandatory]\r\n" + FileLine("gone.exe", "tools\\gone.exe", "[exec]"));
    ASSERT_TRUE(busy);
    uirobot::BoxWatcher boxes(Of(ServerProcess(busy.Get())));
    server_testing::ChildProcess client;
    ASSERT_TRUE(client.Start("\"" + ChildProgram() + "\" sleep 60000"));
    const DWORD start = GetTickCount();
    const std::string busyRecord = app_.File("busy.txt");
    ASSERT_EQ(S_OK, busy->StartPatch(static_cast<LONG>(client.id()), Bstr(Relaunch(busyRecord)), Bstr(""), Bstr("/ok"),
                                     Bstr(""), 1, 3));
    EXPECT_EQ(E_FAIL, busy->StartPatch(0, Bstr(Relaunch(app_.File("second.txt"))), Bstr(""), Bstr(""), Bstr(""), 1, 3));

    ComPtr<IHalvorin> beside = Engine("beside", "");
    const std::string besideRecord = app_.File("beside.txt");
    ASSERT_EQ(S_OK, beside->StartPatch(0, Bstr(Relaunch(besideRecord)), Bstr(""), Bstr("/ok"), Bstr("/failed"), 3, 3));
    EXPECT_EQ(Relaunch(besideRecord) + " /ok", WaitForFile(besideRecord, 4000).substr(0, Relaunch(besideRecord).size() + 4))
        << "the other appID runs while the first waits for its client";

    ASSERT_TRUE(client.WaitForExit(20000));
    EXPECT_GE(GetTickCount() - start, 4500u);
    EXPECT_EQ(0xFFFFFFFFu, client.ExitCode());
    const std::string relaunched = WaitForFile(busyRecord);
    EXPECT_EQ(Relaunch(busyRecord) + " \n", relaunched.substr(0, relaunched.find('\n') + 1)) << "one trailing blank";
    EXPECT_FALSE(FileExists(app_.File("second.txt")));

    const std::string text = ReadWholeFile(Log("busy"));
    EXPECT_NE(std::string::npos, text.find("\r\nFile patches/none.rtp download failed.")) << text;
    EXPECT_EQ(std::string::npos, text.find("\r\nDownloading patch file patches/p23.rtp.")) << "p23 does not fit v1";
    EXPECT_EQ(std::string::npos, text.find("Downloading mandatory file")) << "files of v3 over an installation of v1";
    EXPECT_EQ(std::string::npos, text.find("[exec]Executing")) << "a file that was not installed is not started";
    EXPECT_NE(std::string::npos, text.find("\r\nPatch process failed."));
    EXPECT_TRUE(SameAsRelease(app_.path(), 1));
    EXPECT_TRUE(boxes.WaitForCount(1, 5000)) << "the 404 answer";
}

// Cancel during a patch download ends the run after the applications already started;
// Cancel during a mandatory download lets the expansions already started finish. Both
// runs count as failed.
TEST_F(PatchRunTest, CancelDuringThePatchAndTheMandatoryPhase) {
    WriteRelease(app_.path(), 1);
    ASSERT_TRUE(httpcontrol::WriteRules(R"({"paths": {"/patches/p23.rtp": {"pause_after": 0, "pause": 3.0},
                                                    "/files/slow.bin_": {"pause_after": 0, "pause": 3.0}}})"));
    ComPtr<IHalvorin> patches = Engine("cancel-patch", "[Patches]\r\n" + PatchLine(1) + PatchLine(2));
    ASSERT_TRUE(patches);
    const DWORD server = ServerProcess(patches.Get());
    const std::string record = app_.File("cancelled.txt");
    ASSERT_EQ(S_OK, patches->StartPatch(0, Bstr(Relaunch(record)), Bstr(""), Bstr("/ok"), Bstr("/failed"), 1, 3));
    EXPECT_TRUE(CancelWhenShown(server, "Downloading file: p23.rtp"));
    std::string relaunched = WaitForFile(record);
    EXPECT_EQ(Relaunch(record) + " /failed\n", relaunched.substr(0, relaunched.find('\n') + 1));
    EXPECT_EQ(std::vector<std::string>{"Patch file patches/p23.rtp download aborted."}, Report(patches.Get()));
    std::string text = ReadWholeFile(Log("cancel-patch"));
    EXPECT_LT(text.find("... completed, code=0."), text.find("\r\nPatch process failed.")) << text;
    EXPECT_TRUE(SameAsRelease(app_.path(), 2)) << "the first patch was applied before the client started";

    DeleteFileA(record.c_str());
    ComPtr<IHalvorin> files = Engine("cancel-files", "[Mandatory]\r\n" + FileLine("first.bin", "first.bin", "none") +
                                                         FileLine("slow.bin", "slow.bin", "none"));
    ASSERT_EQ(S_OK, files->StartPatch(0, Bstr(Relaunch(record)), Bstr(""), Bstr("/ok"), Bstr("/failed"), 3, 3));
    EXPECT_TRUE(CancelWhenShown(server, "Downloading file: slow.bin"));
    relaunched = WaitForFile(record);
    EXPECT_EQ(Relaunch(record) + " /failed\n", relaunched.substr(0, relaunched.find('\n') + 1));
    // After the files that the check found missing, the one whose download was cancelled.
    const std::vector<std::string> report = Report(files.Get());
    ASSERT_EQ(3u, report.size());
    EXPECT_EQ("Mandatory file " + app_.File("download") + "/slow.bin download aborted.", report[2]);
    EXPECT_TRUE(ReadWholeFile(app_.File("first.bin")) == ReadWholeFile(httpcontrol::RootDir() + "plain\\first.bin"));
    EXPECT_FALSE(FileExists(app_.File("slow.bin")));
}

// Against a site that halvorin-site published (the native tool, before this program ran):
// an installation of each older release becomes the newest, file for file.
class PublishedSite : public PatchRunTest {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(0, RunProcess("\"" + ProgramDirectory() + "halvorin.exe\" -regserver")); }
};

TEST_F(PublishedSite, EachOlderReleaseBecomesTheNewest) {
    const std::string releases = httpcontrol::WineDirectory(httpcontrol::EnvText("HALVORIN_RELEASES"));
    ASSERT_FALSE(releases.empty()) << "run through with_published_site.sh";
    FileTree newest;
    ReadTree(releases + "v3", &newest);
    for (int version = 1; version <= 2; ++version) {
        SCOPED_TRACE("release " + std::to_string(version));
        ScratchDirectory installed("published");
        FileTree files;
        ReadTree(releases + "v" + std::to_string(version), &files);
        ASSERT_TRUE(WriteTree(installed.path(), files));
        ComPtr<IHalvorin> engine = EngineOn("published" + std::to_string(version), "/image.txt", installed.path());
        ASSERT_TRUE(engine);
        const std::string record = app_.File("published.txt");
        DeleteFileA(record.c_str());
        ASSERT_EQ(S_OK, engine->StartPatch(0, Bstr(Relaunch(record)), Bstr(""), Bstr("/ok"), Bstr("/failed"), version, 3));
        const std::string relaunched = WaitForFile(record);
        EXPECT_EQ(Relaunch(record) + " /ok\n", relaunched.substr(0, relaunched.find('\n') + 1))
            << ReadWholeFile(Log("published" + std::to_string(version)));
        files.clear();
        ReadTree(installed.path(), &files);
        EXPECT_TRUE(files == newest) << files.size() << " files against " << newest.size();
        EXPECT_NE(std::string::npos, ReadWholeFile(Log("published" + std::to_string(version))).find("code=0."))
            << "a patch was applied";
    }
}

}  // namespace
