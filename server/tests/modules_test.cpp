// DownloadModule and NewHalvorinNeeded through COM against a real site: which files are
// downloaded and installed, what the client is told, the commands, Cancel.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "server/tests/engine_site_test.h"

namespace {

using namespace engine_site;

class ModulesTest : public EngineSiteTest {
protected:
    // A FILE line of the Halvorin section for a file beside halvorin.exe as it is.
    static std::string EngineFileLine(const std::string& name) {
        UniqueHandle file(CreateFileA((ProgramDirectory() + name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
        const std::string size = std::to_string(GetFileSize(file.get(), nullptr));
        return "FILE files/" + name + "_ " + name + " " + size + " " + size + " 1/2/2001 1:05:00 none " +
               ComputeFileId(file.get()) + "\r\n";
    }

    // A FILE line of the Halvorin section for a file of the site, served as it is.
    static std::string ServedFileLine(const std::string& name, const std::string& local) {
        const std::string served = httpcontrol::RootDir() + "files\\" + name + "_";
        UniqueHandle file(CreateFileA(served.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        const std::string size = std::to_string(file ? GetFileSize(file.get(), nullptr) : 10);
        return "FILE files/" + name + "_ " + local + " " + size + " " + size + " 1/2/2001 1:05:00 none " +
               (file ? ComputeFileId(file.get()) : "00FFFFFFFF") + "\r\n";
    }

    // What NewHalvorinNeeded answers, with the list it hands back in *list.
    static LONG Upgrade(IHalvorin* engine, std::string* list) {
        BSTR text = nullptr;
        LONG answer = 7;
        EXPECT_EQ(S_OK, engine->NewHalvorinNeeded(&text, &answer));
        *list = TakeAnsi(text);
        return answer;
    }

    static LONG Module(IHalvorin* engine, const char* name, LONG showUI) {
        LONG result = 7;
        EXPECT_EQ(S_OK, engine->DownloadModule(Bstr(name), showUI, &result));
        return result;
    }

    std::string Download(const std::string& name) { return app_.File("download") + "/" + name; }

    // A FILE line of a program whose file Id is not the one of its content.
    static std::string WrongContent() {
        std::string line = FileLine("setup.exe", "wrong\\setup.exe", "[exec]");
        return line.replace(line.rfind(' ') + 3, 8, "00000000");
    }
};

TEST_F(ModulesTest, DownloadModule) {
    ASSERT_TRUE(WriteWholeFile(app_.File("synced.cfg"), ReadWholeFile(httpcontrol::RootDir() + "plain\\app.cfg")));
    ASSERT_TRUE(httpcontrol::WriteRules(R"({"paths": {"/files/slow.bin_": {"pause_after": 0, "pause": 3.0}}})"));
    ComPtr<IHalvorin> engine = Engine(
        "modules", "[Modules]\r\nMODULE Synced\r\n" + FileLine("app.cfg", "synced.cfg", "[exec]") +
                       "MODULE Pair two files\r\n" + FileLine("gone.exe", "pair\\gone.exe", "[exec]") +
                       FileLine("setup.exe", "pair\\setup.exe", "[exec]") + "MODULE Good\r\n" +
                       FileLine("new.bin", "good\\new.bin", "none") + "MODULE Wrong\r\n" + WrongContent() +
                       "MODULE Slow\r\n" +
                       FileLine("first.bin", "slow\\first.bin", "none") + FileLine("slow.bin", "slow\\slow.bin", "none") +
                       FileLine("new.bin", "slow\\after.bin", "none"));
    ASSERT_TRUE(engine);
    const DWORD server = ServerProcess(engine.Get());
    uirobot::BoxWatcher boxes(Of(server));
    httpcontrol::ClearRequestLog();

    // In sync: nothing to download, the dialog closes again.
    EXPECT_EQ(-1, Module(engine.Get(), "Synced", 1));
    HWND dialog = nullptr;
    EXPECT_FALSE(uirobot::FindProgressDialog(Of(server), 200, &dialog));
    EXPECT_TRUE(httpcontrol::GetsOf("/files/app.cfg_").empty());
    EXPECT_NE(std::string::npos, ReadWholeFile(Log("modules")).find("synced.cfg : OK"));
    EXPECT_EQ(std::string::npos, ReadWholeFile(Log("modules")).find("[exec]Executing")) << "nothing was installed";

    // Names are exact: another case is another module, and nothing is logged or reported.
    const std::string before = ReadWholeFile(Log("modules"));
    EXPECT_EQ(0, Module(engine.Get(), "synced", 0));
    EXPECT_EQ(before, ReadWholeFile(Log("modules")));
    EXPECT_TRUE(Report(engine.Get()).empty());

    // The first file cannot be downloaded: the second is still installed and started, the
    // first is not started, and the module counts as failed.
    EXPECT_EQ(0, Module(engine.Get(), "Pair", 0));
    EXPECT_EQ("run\n", ReadWholeFile(app_.File("pair\\runs.log"))) << ReadWholeFile(Log("modules"));
    EXPECT_FALSE(FileExists(app_.File("pair\\gone.exe")));
    std::string log = ReadWholeFile(Log("modules"));
    EXPECT_EQ(std::string::npos, log.find("gone.exe.")) << "a file that was not installed is not started";
    // The box is recorded once the robot has seen it go, which may come just after the call.
    EXPECT_TRUE(boxes.WaitForCount(1, 5000)) << "the 404 answer";

    // A module that works after one that did not.
    EXPECT_EQ(-1, Module(engine.Get(), "Good", 0));
    EXPECT_TRUE(ReadWholeFile(app_.File("good\\new.bin")) == ReadWholeFile(httpcontrol::RootDir() + "plain\\new.bin"));

    // Content that is not the image's is neither installed nor started.
    EXPECT_EQ(0, Module(engine.Get(), "Wrong", 0));
    EXPECT_FALSE(FileExists(app_.File("wrong\\setup.exe")));
    EXPECT_FALSE(FileExists(app_.File("wrong\\runs.log")));
    EXPECT_TRUE(boxes.WaitForCount(2, 5000)) << "the wrong content";

    // Cancel: the rest is skipped, what was started is installed.
    std::thread user([server] { EXPECT_TRUE(CancelWhenShown(server, "Downloading file: slow.bin")); });
    EXPECT_EQ(0, Module(engine.Get(), "Slow", 1));
    user.join();
    const std::vector<std::string> report = Report(engine.Get());
    ASSERT_FALSE(report.empty());
    EXPECT_EQ("Module file " + Download("slow\\slow.bin") + " download aborted.", report.back());
    EXPECT_TRUE(ReadWholeFile(app_.File("slow\\first.bin")) == ReadWholeFile(httpcontrol::RootDir() + "plain\\first.bin"));
    EXPECT_FALSE(FileExists(app_.File("slow\\slow.bin")) || FileExists(app_.File("slow\\after.bin")));
}

TEST_F(ModulesTest, NewHalvorinNeeded) {
    const std::string mine = "halvorin-upgrade-" + std::to_string(GetCurrentProcessId());
    const std::string inSync = EngineFileLine("halvorin.exe") + EngineFileLine("patchw32.dll");
    std::string list;

    ComPtr<IHalvorin> engine = Engine("upgrade-none", "[Halvorin]\r\n");
    EXPECT_EQ(0, Upgrade(engine.Get(), &list));
    EXPECT_EQ("", list);

    engine = Engine("upgrade-synced", "[Halvorin]\r\n" + inSync);
    EXPECT_EQ(0, Upgrade(engine.Get(), &list));
    EXPECT_EQ("", list);
    const std::string log = ReadWholeFile(Log("upgrade-synced"));
    EXPECT_NE(std::string::npos, log.find("halvorin.exe : OK")) << log;
    EXPECT_NE(std::string::npos, log.find("patchw32.dll : OK")) << log;

    // Both out of sync: both downloaded, not installed, handed back in image order.
    engine = Engine("upgrade-two", "[Halvorin]\r\n" + ServedFileLine("new.bin", mine + "-a.bin") +
                                       ServedFileLine("first.bin", mine + "-b.bin"));
    EXPECT_EQ(1, Upgrade(engine.Get(), &list));
    EXPECT_EQ(Download(mine + "-a.bin") + "|" + Download(mine + "-b.bin") + "|", list);
    EXPECT_TRUE(ReadWholeFile(Download(mine + "-a.bin")) == ReadWholeFile(httpcontrol::RootDir() + "files\\new.bin_"));
    EXPECT_FALSE(FileExists(ProgramDirectory() + mine + "-a.bin"));

    // The first out of sync, the second in sync: only the first is downloaded, but the
    // phase's total counts both (the bar's range, read while the download waits).
    ASSERT_TRUE(httpcontrol::WriteRules(R"({"paths": {"/files/first.bin_": {"pause_after": 0, "pause": 2.0}}})"));
    engine = Engine("upgrade-one", "[Halvorin]\r\n" + ServedFileLine("first.bin", mine + "-c.bin") +
                                       EngineFileLine("patchw32.dll"));
    const DWORD server = ServerProcess(engine.Get());
    int range = -1;
    std::thread watcher([&] {
        HWND dialog = nullptr;
        uirobot::ProgressDialogState state;
        if (uirobot::FindProgressDialog(Of(server), 10000, &dialog) && uirobot::ReadProgressDialog(dialog, &state)) {
            range = state.totalBar.high;
        }
    });
    EXPECT_EQ(1, Upgrade(engine.Get(), &list));
    watcher.join();
    EXPECT_EQ(Download(mine + "-c.bin") + "|", list);
    const size_t both = ReadWholeFile(httpcontrol::RootDir() + "files\\first.bin_").size() +
                        ReadWholeFile(ProgramDirectory() + "patchw32.dll").size();
    EXPECT_EQ(static_cast<int>((both / 16384 + 1) & 0xFFFF), range);

    // A download that fails without a Cancel: still 1, the file is missing from the list.
    uirobot::BoxWatcher boxes(Of(server));
    engine = Engine("upgrade-failed", "[Halvorin]\r\n" + FileLine("gone.exe", mine + "-d.bin", "none") +
                                          ServedFileLine("new.bin", mine + "-e.bin"));
    EXPECT_EQ(1, Upgrade(engine.Get(), &list));
    EXPECT_EQ(Download(mine + "-e.bin") + "|", list);
    EXPECT_TRUE(boxes.WaitForCount(1, 5000));

    // Only a whole file with the image's content is handed over: a piece of it (an answer
    // without a length that stops early) is kept for a later resume but not listed, and a
    // file of another content is deleted. Either could be copied over the engine.
    ASSERT_TRUE(httpcontrol::WriteRules(R"({"paths": {"/files/slow.bin_": {"no_length": true, "cut_after": 40000}}})"));
    std::string wrong = ServedFileLine("first.bin", mine + "-g.bin");
    wrong.replace(wrong.rfind(' ') + 3, 8, "00000000");
    engine = Engine("upgrade-checked", "[Halvorin]\r\n" + ServedFileLine("slow.bin", mine + "-f.bin") + wrong +
                                           ServedFileLine("new.bin", mine + "-h.bin"));
    EXPECT_EQ(1, Upgrade(engine.Get(), &list));
    EXPECT_EQ(Download(mine + "-h.bin") + "|", list);
    EXPECT_EQ(40000u, ReadWholeFile(Download(mine + "-f.bin")).size());
    EXPECT_FALSE(FileExists(Download(mine + "-g.bin")));
    // Beside the lines of the files found missing, the two that were not handed over.
    const std::vector<std::string> report = Report(engine.Get());
    const auto told = [&report](const std::string& start) {
        return std::count_if(report.begin(), report.end(), [&](const std::string& line) { return line.find(start) == 0; });
    };
    EXPECT_EQ(1, told("File files/slow.bin_ could not be downloaded from site " + httpcontrol::ServerAddress() +
                      ": the connection broke before the end."));
    EXPECT_EQ(1, told("Halvorin file " + Download(mine + "-g.bin") + " does not match the update image"));
    EXPECT_TRUE(boxes.WaitForCount(3, 5000));
}

}  // namespace
