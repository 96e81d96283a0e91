// What a patch run tells its client, against a real site that fails: every step that
// fails makes the run a failure, the installation stays on a release (never between two,
// never lower, never with a deleted file it still needs), a later run finishes what a
// failed one left, nothing unchecked is installed or started, and no operation holds up
// or cancels another. The engine is halvorin.exe, started by COM; its boxes are closed by
// the UI robot.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "server/tests/engine_site_test.h"

namespace {

using namespace engine_site;

class RunOutcomeTest : public EngineSiteTest {
protected:
    static void SetUpTestSuite() {
        EngineSiteTest::SetUpTestSuite();
        ScratchDirectory releases("outcome-releases");
        ASSERT_TRUE(MakeReleasePatch(releases.path(), 1, 2, "p12.rtp"));
        ASSERT_TRUE(MakeReleasePatch(releases.path(), 2, 3, "p23.rtp"));
        ASSERT_TRUE(MakeReleasePatch(releases.path(), 2, 1, "p21.rtp"));
        // A damaged copy of p12: one byte flipped in its middle.
        std::string damaged = ReadWholeFile(httpcontrol::RootDir() + "patches\\p12.rtp");
        damaged[damaged.size() / 2] ^= 0x20;
        ASSERT_TRUE(WriteWholeFile(httpcontrol::RootDir() + "patches\\p12bad.rtp", damaged));
    }

    // Whether a line of the error report begins with the text.
    bool Told(IHalvorin* engine, const std::string& start) {
        const std::vector<std::string> lines = Report(engine);
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) { return line.find(start) == 0; });
    }

    // An installation of a release in a directory of its own, for one case.
    std::string Install(const std::string& name, int release) {
        const std::string directory = app_.File(name);
        EXPECT_TRUE(WriteRelease(directory, release));
        return directory;
    }

    ComPtr<IHalvorin> EngineIn(const std::string& appId, const std::string& directory, const std::string& imageLines) {
        EXPECT_TRUE(WriteWholeFile(httpcontrol::RootDir() + appId + ".img", "[VERSION 3]\r\n" + imageLines));
        return EngineOn(appId, "/" + appId + ".img", directory);
    }

    static std::string Patches(const std::string& lines) { return "[Patches]\r\n" + lines; }
};

// A step that fails ends the run as a failure, on a whole release: the one the chain had
// reached, never a lower one, and with the files that release needs.
TEST_F(RunOutcomeTest, EveryFailedStepIsAFailureOnAWholeRelease) {
    ComPtr<IHalvorin> probe = Engine("outcome-probe", "");
    ASSERT_TRUE(probe);
    uirobot::BoxWatcher boxes(Of(ServerProcess(probe.Get())));
    const std::string site = httpcontrol::ServerAddress();

    // The second step of the chain is missing from the site.
    std::string dir = Install("missing", 1);
    ComPtr<IHalvorin> engine =
        EngineIn("missing", dir, Patches(PatchLine(1, 2, "p12.rtp") + "FROM V2 TO V3 patches/gone.rtp 5000\r\n"));
    EXPECT_EQ("/failed", Update(engine.Get(), 1, 3));
    EXPECT_TRUE(SameAsRelease(dir, 2));
    EXPECT_TRUE(Told(engine.Get(), "File patches/gone.rtp could not be downloaded from site " + site + "."));
    EXPECT_NE(std::string::npos, ReadWholeFile(Log("missing")).find("\r\nPatch process failed."));

    // The second step's answer is cut every time: the site stays down.
    ASSERT_TRUE(httpcontrol::WriteRules(R"({"paths": {"/patches/p23.rtp": {"cut_after": 10, "cut_delay": 0.3}}})"));
    dir = Install("cut", 1);
    engine = EngineIn("cut", dir, Patches(PatchLine(1, 2, "p12.rtp") + PatchLine(2, 3, "p23.rtp")));
    EXPECT_EQ("/failed", Update(engine.Get(), 1, 3));
    EXPECT_TRUE(SameAsRelease(dir, 2));
    EXPECT_TRUE(Told(engine.Get(), "File patches/p23.rtp could not be downloaded from site " + site +
                                       ": the connection broke before the end."));
    ASSERT_TRUE(httpcontrol::ClearRules());

    // No image: the run did nothing, and says so.
    dir = Install("noimage", 1);
    engine = EngineOn("noimage", "/none.img", dir);
    EXPECT_EQ("/failed", Update(engine.Get(), 1, 3));
    EXPECT_TRUE(SameAsRelease(dir, 1));
    EXPECT_TRUE(Told(engine.Get(), "File /none.img could not be downloaded from site " + site + "."));

    // Only a step back leaves version 2: no road to 4, and release 1 is not put in place.
    dir = Install("back", 2);
    engine = EngineIn("back", dir, Patches(PatchLine(2, 1, "p21.rtp")));
    EXPECT_EQ("/failed", Update(engine.Get(), 2, 4));
    EXPECT_TRUE(SameAsRelease(dir, 2));
    EXPECT_TRUE(Told(engine.Get(), "No patch of the update image leads from version 2 to version 4."));
    EXPECT_EQ(std::string::npos, ReadWholeFile(Log("back")).find("Downloading patch file"));
}

// A patch that does not apply keeps the deletions of the new release from running, so the
// installation keeps every file it needs; the next run, with a good patch, finishes.
TEST_F(RunOutcomeTest, AFailedPatchLeavesWhatTheOldReleaseNeedsAndALaterRunFinishes) {
    const std::string dir = Install("damaged", 1);
    ASSERT_TRUE(WriteWholeFile(dir + "\\needed.dat", "release 1 reads this"));
    const std::string deletions = "[Mandatory]\r\nDELETE FILE needed.dat\r\n";
    ComPtr<IHalvorin> engine =
        EngineIn("damaged", dir, Patches(PatchLine(1, 2, "p12bad.rtp") + PatchLine(2, 3, "p23.rtp")) + deletions);
    uirobot::BoxWatcher boxes(Of(ServerProcess(engine.Get())));
    EXPECT_EQ("/failed", Update(engine.Get(), 1, 3));
    EXPECT_TRUE(SameAsRelease(dir, 1));
    EXPECT_TRUE(FileExists(dir + "\\needed.dat")) << "a file release 1 needs was deleted";
    EXPECT_TRUE(Told(engine.Get(), "Patch file patches/p12bad.rtp could not be applied (code 3)."));
    EXPECT_NE(std::string::npos, ReadWholeFile(Log("damaged")).find("p23.rtp\"... not applied: a patch before it failed."));

    engine = EngineIn("damaged", dir, Patches(PatchLine(1, 2, "p12.rtp") + PatchLine(2, 3, "p23.rtp")) + deletions);
    EXPECT_EQ(S_OK, engine->RefreshImage());
    EXPECT_EQ("/ok", Update(engine.Get(), 1, 3));
    EXPECT_TRUE(SameAsRelease(dir, 3));
    EXPECT_FALSE(FileExists(dir + "\\needed.dat"));
    EXPECT_TRUE(Report(engine.Get()).empty());
}

// Nothing that was not checked takes a file's place or is started, and a run that did all
// it tried still fails when the installation does not verify against the image. A patch
// file never takes the place of an installation's file of the same name.
TEST_F(RunOutcomeTest, OnlyCheckedFilesAreInstalledAndTheResultIsVerified) {
    const std::string dir = Install("checked", 1);
    CreateDirectoryA((dir + "\\tools").c_str(), nullptr);
    ASSERT_TRUE(WriteWholeFile(dir + "\\tools\\setup.exe", "the old setup"));
    // Files of the installation that carry the patches' names; p23.rtp is shorter than
    // the patch, as a partial download of it would be.
    ASSERT_TRUE(WriteWholeFile(dir + "\\p12.rtp", "the application's own p12.rtp"));
    ASSERT_TRUE(WriteWholeFile(dir + "\\p23.rtp", "mine"));
    std::string wrong = FileLine("setup.exe", "tools\\setup.exe", "[exec]");
    wrong.replace(wrong.rfind(' ') + 3, 8, "00000000");
    ComPtr<IHalvorin> engine = EngineIn(
        "checked", dir, Patches(PatchLine(1, 2, "p12.rtp") + PatchLine(2, 3, "p23.rtp")) + "[Mandatory]\r\n" + wrong);
    uirobot::BoxWatcher boxes(Of(ServerProcess(engine.Get())));
    EXPECT_EQ("/failed", Update(engine.Get(), 1, 3));
    EXPECT_TRUE(SameAsRelease(dir, 3));
    EXPECT_EQ("the old setup", ReadWholeFile(dir + "\\tools\\setup.exe"));
    EXPECT_FALSE(FileExists(dir + "\\tools\\runs.log")) << "a file that did not check out was started";
    EXPECT_TRUE(Told(engine.Get(), "The expanded file " + dir + "/tools\\setup.exe does not have the content"));
    EXPECT_EQ("the application's own p12.rtp", ReadWholeFile(dir + "\\p12.rtp"));
    EXPECT_EQ("mine", ReadWholeFile(dir + "\\p23.rtp"));
    LONG needed = 0;
    EXPECT_EQ(S_OK, engine->PatchNeeded(3, 3, &needed));
    EXPECT_EQ(-1, needed) << "the installation is not what the image describes";

    // Every step succeeds, but what the image deletes cannot be deleted (it is a folder by
    // that name) and stays: the result does not verify.
    const std::string held = Install("held", 3);
    ASSERT_TRUE(CreateDirectoryA((held + "\\stale.dat").c_str(), nullptr));
    engine = EngineIn("held", held, "[Mandatory]\r\nDELETE FILE stale.dat\r\n");
    EXPECT_EQ("/failed", Update(engine.Get(), 3, 3));
    EXPECT_TRUE(Told(engine.Get(), "After the update, file " + held + "/stale.dat is still there"));
    RemoveDirectoryA((held + "\\stale.dat").c_str());
    EXPECT_EQ("/ok", Update(engine.Get(), 3, 3));
}

// "Could not find out" is told: with the image missing, PatchNeeded answers 0 as callers
// expect, but the report and the log say why, and the failed fetch is not kept.
TEST_F(RunOutcomeTest, AFailedDecisionIsToldAndAskedAgain) {
    ASSERT_TRUE(httpcontrol::WriteRules(R"({"paths": {"/later.img": {"status": 404}}})"));
    const std::string dir = Install("later", 1);
    ComPtr<IHalvorin> engine = EngineOn("later", "/later.img", dir);
    uirobot::BoxWatcher boxes(Of(ServerProcess(engine.Get())));
    LONG needed = 7;
    EXPECT_EQ(S_OK, engine->PatchNeeded(1, 3, &needed));
    EXPECT_EQ(0, needed);
    const std::string text = "File /later.img could not be downloaded from site " + httpcontrol::ServerAddress() + ".";
    EXPECT_TRUE(Told(engine.Get(), text));
    EXPECT_NE(std::string::npos, ReadWholeFile(Log("later")).find("\r\n" + text));
    EXPECT_TRUE(boxes.WaitForCount(1, 5000));

    ASSERT_TRUE(httpcontrol::ClearRules());
    ASSERT_TRUE(WriteWholeFile(httpcontrol::RootDir() + "later.img", "[VERSION 3]\r\n" + Patches(PatchLine(1, 2, "p12.rtp") +
                                                                                              PatchLine(2, 3, "p23.rtp"))));
    EXPECT_EQ(S_OK, engine->PatchNeeded(1, 3, &needed));
    EXPECT_EQ(-1, needed) << "the failed fetch was kept";
}

// The end of one operation does not cancel another that shares the progress dialog, and
// a box that waits for a person on one thread holds up no other client's call.
TEST_F(RunOutcomeTest, OperationsNeitherCancelNorHoldUpEachOther) {
    ASSERT_TRUE(httpcontrol::WriteRules(R"({"paths": {"/files/slow.bin_": {"rate": 200000}}})"));
    const std::string dir = Install("beside", 3);
    ComPtr<IHalvorin> run = EngineIn("beside", dir, "[Mandatory]\r\n" + FileLine("slow.bin", "slow.bin", "none"));
    ComPtr<IHalvorin> module = EngineIn("module", app_.path(), "[Modules]\r\nMODULE Good\r\n" +
                                                                   FileLine("new.bin", "good\\new.bin", "none"));
    const std::string record = app_.File("beside.txt");
    ASSERT_EQ(S_OK, run->StartPatch(0, Bstr(Relaunch(record)), Bstr(""), Bstr("/ok"), Bstr("/failed"), 3, 3));
    for (int i = 0; i < 200 && ReadWholeFile(Log("beside")).find("files/slow.bin_.") == std::string::npos; ++i) Sleep(50);
    LONG installed = 0;
    EXPECT_EQ(S_OK, module->DownloadModule(Bstr("Good"), 1, &installed));
    EXPECT_EQ(-1, installed);
    const std::string relaunched = WaitForFile(record);
    EXPECT_EQ(Relaunch(record) + " /ok", relaunched.substr(0, relaunched.find('\n'))) << ReadWholeFile(Log("beside"));
    EXPECT_TRUE(ReadWholeFile(dir + "\\slow.bin") == ReadWholeFile(httpcontrol::RootDir() + "plain\\slow.bin"));
    ASSERT_TRUE(httpcontrol::ClearRules());

    // A run whose image is missing shows its box on its own thread; meanwhile a client's
    // call for the same application, on another image, goes through.
    ASSERT_TRUE(WriteWholeFile(httpcontrol::RootDir() + "boxed.img", "[VERSION 3]\r\n"));
    ComPtr<IHalvorin> stuck = EngineOn("boxed", "/boxed-missing.img", app_.path());
    const DWORD server = ServerProcess(stuck.Get());
    const std::string boxed = app_.File("boxed.txt");
    ASSERT_EQ(S_OK, stuck->StartPatch(0, Bstr(Relaunch(boxed)), Bstr(""), Bstr("/ok"), Bstr("/failed"), 3, 3));
    uirobot::MessageBoxInfo box;
    ASSERT_TRUE(uirobot::FindMessageBox(Of(server), 30000, &box));
    // The call runs on a thread of its own, so that a server that waits for the box
    // cannot hang the test: the box is closed after a while either way.
    HANDLE answered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread caller([&] {
        CoInitialize(nullptr);
        ComPtr<IHalvorin> own = EngineOn("boxed", "/boxed.img", app_.path());
        LONG needed = 7;
        if (own) own->PatchNeeded(3, 3, &needed);
        SetEvent(answered);
        CoUninitialize();
    });
    const bool wentThrough = WaitForSingleObject(answered, 15000) == WAIT_OBJECT_0;
    EXPECT_TRUE(wentThrough) << "the call waited for the box";
    EXPECT_TRUE(IsWindow(box.window)) << "the box was gone before the call returned";
    uirobot::CloseMessageBox(box.window);
    caller.join();
    CloseHandle(answered);
    const std::string relaunchedBoxed = WaitForFile(boxed);
    EXPECT_EQ(Relaunch(boxed) + " /failed", relaunchedBoxed.substr(0, relaunchedBoxed.find('\n')));
}

}  // namespace
