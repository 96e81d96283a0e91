// The engine killed (TerminateProcess) at many moments of an update of a multi-file
// application from release 1 to 3: in the patch downloads, inside the applications of
// both patches, in the mandatory downloads and their installations, in the deletions and
// at the end. Right after each kill every file of the installation must be whole (one of
// its releases' contents, never a mix; the program itself never missing), and one more
// run of the client's update (from the version its program now has) must end
// byte-identical to release 3 and relaunch the client with its success parameters.
// Prints "kill points: N, ended on the new release after one more run: M, torn files
// right after a kill: T".
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "server/tests/engine_site_test.h"
#include "server/tests/server_process.h"

namespace {

using namespace engine_site;
using Tree = FileTree;

// The releases' own files; the update adds the mandatory files of the site to release 3
// and deletes old.txt.
Tree Release(int version) {
    Tree tree;
    tree["app.exe"] = ReleaseContent(90000, version, 1);
    tree["lib\\core.dll"] = ReleaseContent(2 << 20, version, 2);
    tree["lib\\util.dll"] = ReleaseContent(200000, version == 1 ? 1 : 2, 3);
    tree["data\\a.dat"] = ReleaseContent(50000, version == 3 ? 3 : 1, 4);
    if (version == 1) tree["data\\b.dat"] = ReleaseContent(30000, 1, 5);
    if (version >= 2) tree["data\\c.dat"] = ReleaseContent(40000, 2, 6);
    tree["old.txt"] = "notes of the old releases";
    return tree;
}

// Where the mandatory files of the site go, by the name the site serves them under.
const std::pair<const char*, const char*> kMandatory[] = {
    {"new.bin", "data\\new.bin"}, {"first.bin", "first.bin"}, {"slow.bin", "data\\slow.bin"}};

void RemoveTree(const std::string& root) {
    Tree files;
    ReadTree(root, &files);
    for (const auto& file : files) DeleteFileA((root + "\\" + file.first).c_str());
    // Directories, deepest first (a directory's name sorts before its contents').
    std::vector<std::string> directories;
    for (const auto& file : files) {
        for (size_t at = file.first.find('\\'); at != std::string::npos; at = file.first.find('\\', at + 1)) {
            directories.push_back(root + "\\" + file.first.substr(0, at));
        }
    }
    for (auto it = directories.rbegin(); it != directories.rend(); ++it) RemoveDirectoryA(it->c_str());
    RemoveDirectoryA(root.c_str());
}

// The patch library's and the engine's working files: allowed right after a kill, gone
// after the next run.
bool IsWorkingFile(const std::string& path) {
    const size_t name = path.rfind('\\') == std::string::npos ? 0 : path.rfind('\\') + 1;
    if (path.compare(name, 16, ".hvpatch-journal") == 0) return true;
    if (path.size() > 10 && path.compare(path.size() - 10, 10, ".hvinstall") == 0) return true;
    for (const char* tag : {".hvnew", ".hvold"}) {
        const size_t at = path.rfind(tag);
        if (at != std::string::npos && at + 6 < path.size() &&
            path.find_first_not_of("0123456789", at + 6) == std::string::npos) {
            return true;
        }
    }
    return false;
}

// One moment to kill at: after the trigger's occurrence-th appearance in the log, and
// delay milliseconds more.
struct KillPoint {
    const char* phase;
    const char* trigger;
    int occurrence;
    DWORD delayMs;
};

const KillPoint kPoints[] = {
    {"start", "\r\n----StartPatch:", 1, 0},
    {"patch download", "\r\nDownloading patch file patches/p12.rtp.", 1, 0},
    {"patch download", "\r\nDownloading patch file patches/p12.rtp.", 1, 600},
    {"patch application", "\r\nApplying patch file.", 1, 0},
    {"patch application", "\r\nApplying patch file.", 1, 40},
    {"patch application", "\r\nApplying patch file.", 1, 100},
    {"patch application", "\r\nApplying patch file.", 1, 200},
    {"patch download", "\r\nDownloading patch file patches/p23.rtp.", 1, 600},
    {"patch application", "\r\nApplying patch file.", 2, 0},
    {"patch application", "\r\nApplying patch file.", 2, 40},
    {"patch application", "\r\nApplying patch file.", 2, 100},
    {"patch application", "\r\nApplying patch file.", 2, 200},
    {"mandatory download", "\r\nDownloading mandatory file files/new.bin_.", 1, 0},
    {"installation", "\r\nExpanding file", 1, 0},
    {"installation", "\r\nExpanding file", 1, 30},
    {"mandatory download", "\r\nDownloading mandatory file files/slow.bin_.", 1, 600},
    {"installation", "\r\nExpanding file", 3, 0},
    {"installation", "\r\nExpanding file", 3, 20},
    {"deletions", "\r\nDeleting file", 1, 0},
    {"deletions", "\r\nDeleting file", 1, 5},
    {"end", "\r\nPatch process", 1, 0},
};

size_t Occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

class KillTest : public EngineSiteTest {
protected:
    static void SetUpTestSuite() {
        EngineSiteTest::SetUpTestSuite();
        ScratchDirectory releases("kill-releases");
        for (int v = 1; v <= 3; ++v) ASSERT_TRUE(WriteTree(releases.File("v" + std::to_string(v)), Release(v)));
        CreateDirectoryA((httpcontrol::RootDir() + "patches").c_str(), nullptr);
        for (int v = 1; v <= 2; ++v) {
            const std::string name = "p" + std::to_string(v) + std::to_string(v + 1) + ".rtp";
            ASSERT_EQ(0, RunProcess("\"" + ProgramDirectory() + "makepatch.exe\" \"" + releases.File("v" + std::to_string(v)) +
                                    "\" \"" + releases.File("v" + std::to_string(v + 1)) + "\" \"" +
                                    httpcontrol::RootDir() + "patches\\" + name + "\""));
        }
    }

    void SetUp() override {
        EngineSiteTest::SetUp();
        for (int v = 1; v <= 3; ++v) releases_.push_back(Release(v));
        newest_ = Release(3);
        newest_.erase("old.txt");
        std::string lines = "[Patches]\r\n" + PatchLine(1, 2, "p12.rtp") + PatchLine(2, 3, "p23.rtp") + "[Mandatory]\r\n";
        for (const auto& file : kMandatory) {
            newest_[file.second] = ReadWholeFile(httpcontrol::RootDir() + "plain\\" + file.first);
            lines += FileLine(file.first, file.second, "none");
        }
        lines += "DELETE FILE old.txt\r\n";
        ASSERT_TRUE(WriteWholeFile(httpcontrol::RootDir() + "kill.img", "[VERSION 3]\r\n" + lines));
        // Each download takes long enough to be killed in: a pause in the middle of the
        // patches, a slow rate for the largest mandatory file.
        const size_t p12 = ReadWholeFile(httpcontrol::RootDir() + "patches\\p12.rtp").size();
        const size_t p23 = ReadWholeFile(httpcontrol::RootDir() + "patches\\p23.rtp").size();
        ASSERT_TRUE(httpcontrol::WriteRules(
            R"({"paths": {"/patches/p12.rtp": {"pause_after": )" + std::to_string(p12 / 2) +
            R"(, "pause": 1.2}, "/patches/p23.rtp": {"pause_after": )" + std::to_string(p23 / 2) +
            R"(, "pause": 1.2}, "/files/slow.bin_": {"rate": 400000}}})"));
    }

    std::string Installation() const { return app_.File("install"); }

    // The version the client's program says it is, as the client would report it.
    int ProgramVersion() {
        const std::string program = ReadWholeFile(Installation() + "\\app.exe");
        for (int v = 1; v <= 3; ++v) {
            if (program == ReleaseContent(90000, v, 1)) return v;
        }
        return 0;
    }

    // Files that are no release's content for their name (a missing program counts),
    // printed; working files are left out and counted in *working.
    int TornFiles(const std::string& label, int* working) {
        Tree tree;
        ReadTree(Installation(), &tree);
        int torn = 0;
        *working = 0;
        if (!tree.count("app.exe")) {
            printf("  %s: app.exe is missing\n", label.c_str());
            ++torn;
        }
        for (const auto& file : tree) {
            if (IsWorkingFile(file.first)) {
                ++*working;
                continue;
            }
            bool known = newest_.count(file.first) && newest_.at(file.first) == file.second;
            for (const Tree& release : releases_) {
                known = known || (release.count(file.first) && release.at(file.first) == file.second);
            }
            if (!known) {
                printf("  %s: %s is torn (%zu bytes)\n", label.c_str(), file.first.c_str(), file.second.size());
                ++torn;
            }
        }
        return torn;
    }

    ComPtr<IHalvorin> Client() {
        ComPtr<IHalvorin> engine = EngineOn("kill", "/kill.img", Installation());
        if (engine) engine->put_downloadDirectory(Bstr(app_.File("download")));
        return engine;
    }

    std::vector<Tree> releases_;
    Tree newest_;
};

TEST_F(KillTest, AKilledUpdateEndsOnTheNewReleaseAfterOneMoreRun) {
    const std::string record = app_.File("relaunched.txt");
    const std::string log = Log("kill");
    int points = 0;
    int finished = 0;
    int torn = 0;
    for (const KillPoint& point : kPoints) {
        const std::string label = std::string(point.phase) + " (" + std::to_string(points + 1) + ")";
        RemoveTree(Installation());
        ASSERT_TRUE(WriteTree(Installation(), Release(1)));
        DeleteFileA(record.c_str());
        DeleteFileA(log.c_str());

        ComPtr<IHalvorin> engine = Client();
        ASSERT_TRUE(engine);
        const DWORD server = ServerProcess(engine.Get());
        UniqueHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, server));
        ASSERT_TRUE(process.valid());
        ASSERT_EQ(S_OK, engine->StartPatch(0, Bstr(Relaunch(record)), Bstr(""), Bstr("/ok"), Bstr("/failed"), 1, 3));
        bool reached = false;
        for (DWORD waited = 0; waited < 60000 && !reached; waited += 2) {
            reached = Occurrences(httpcontrol::ReadSharedFile(log), point.trigger) >= static_cast<size_t>(point.occurrence);
            if (!reached) Sleep(2);
        }
        EXPECT_TRUE(reached) << label << ": the run never came to " << point.trigger;
        Sleep(point.delayMs);
        TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), 10000);
        engine.Detach();  // the server is gone: nothing to release
        server_testing::ResetClassTableUnderWine();
        // An expansion the killed engine had started ends by itself (under Wine it may hang).
        server_testing::EndProcessesNamed("expand.exe", 3000);
        Sleep(300);  // a client that the killed run had just started again records itself
        ++points;

        int working = 0;
        const int tornNow = TornFiles(label, &working);
        torn += tornNow;

        // One more run of the client's update, from the version its program has now.
        DeleteFileA(record.c_str());
        const int version = ProgramVersion();
        ComPtr<IHalvorin> again = Client();
        ASSERT_TRUE(again);
        ASSERT_EQ(S_OK, again->StartPatch(0, Bstr(Relaunch(record)), Bstr(""), Bstr("/ok"), Bstr("/failed"),
                                          version ? version : 1, 3));
        const std::string relaunched = WaitForFile(record);
        Tree tree;
        ReadTree(Installation(), &tree);
        const bool ok = relaunched.substr(0, relaunched.find('\n')) == Relaunch(record) + " /ok" && tree == newest_;
        if (ok) {
            ++finished;
        } else {
            printf("  %s: after one more run from version %d: %s, %zu files against %zu\n", label.c_str(), version,
                   relaunched.substr(relaunched.rfind(' ', relaunched.find('\n')) + 1,
                                     relaunched.find('\n') - relaunched.rfind(' ', relaunched.find('\n')) - 1)
                       .c_str(),
                   tree.size(), newest_.size());
        }
        EXPECT_TRUE(ok) << label << "\n" << ReadWholeFile(log);
        printf("%-22s killed %4lu ms after \"%s\" #%d: program of version %d, %d torn, %d working files, %s\n",
               label.c_str(), static_cast<unsigned long>(point.delayMs), point.trigger + 2, point.occurrence, version,
               tornNow, working, ok ? "new release after one more run" : "NOT on the new release");
        fflush(stdout);
    }
    printf("kill points: %d, ended on the new release after one more run: %d, torn files right after a kill: %d\n",
           points, finished, torn);
    EXPECT_GE(points, 20);
    EXPECT_EQ(points, finished);
    EXPECT_EQ(0, torn);
}

}  // namespace
