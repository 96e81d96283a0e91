// The robot against real windows: message boxes and a dialog laid out like the progress
// dialog, in another thread of this process and in another process (robot_target.exe),
// and the uirobot.exe command line.
#include <gtest/gtest.h>

#include "ui_robot.h"

#include <commctrl.h>

#include <atomic>
#include <functional>
#include <set>
#include <string>
#include <thread>

#include "common/win_handles.h"
#include "test_dialog.h"

using namespace uirobot;

namespace {

constexpr int kPending = -1000;

std::string ExeDir() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir = path;
    return dir.substr(0, dir.find_last_of("\\/") + 1);
}

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start >= timeoutMs) return false;
        Sleep(10);
    }
    return true;
}

// Another process; ended by force if a test leaves it running.
class Child {
public:
    bool Start(const std::string& exe, const std::string& args, HANDLE out = nullptr) {
        std::string line = Quoted(ExeDir() + exe) + " " + args;
        STARTUPINFOA si{};
        si.cb = sizeof si;
        if (out) {
            si.dwFlags = STARTF_USESTDHANDLES;
            si.hStdOutput = out;
            si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
            si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        }
        PROCESS_INFORMATION pi{};
        if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, out != nullptr, 0, nullptr, nullptr, &si, &pi))
            return false;
        process_.reset(pi.hProcess);
        CloseHandle(pi.hThread);
        pid_ = pi.dwProcessId;
        return true;
    }
    DWORD Pid() const { return pid_; }
    // The exit code, or -1 when the process is still running after timeoutMs.
    long Wait(DWORD timeoutMs) {
        if (WaitForSingleObject(process_.get(), timeoutMs) != WAIT_OBJECT_0) return -1;
        DWORD code = 0;
        GetExitCodeProcess(process_.get(), &code);
        return static_cast<long>(code);
    }
    ~Child() {
        if (process_ && WaitForSingleObject(process_.get(), 0) != WAIT_OBJECT_0) TerminateProcess(process_.get(), 99);
    }

private:
    UniqueHandle process_;
    DWORD pid_ = 0;
};

// uirobot.exe with its standard output captured.
long RunCli(const std::string& args, std::string* output) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE readRaw = nullptr, writeRaw = nullptr;
    if (!CreatePipe(&readRaw, &writeRaw, &sa, 0)) return -2;
    UniqueHandle readEnd(readRaw), writeEnd(writeRaw);
    SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);
    Child cli;
    if (!cli.Start("uirobot.exe", args, writeEnd.get())) return -2;
    writeEnd.reset();  // only the child holds the write end now: its exit ends the reads
    output->clear();
    char buffer[4096];
    DWORD n = 0;
    while (ReadFile(readEnd.get(), buffer, sizeof buffer, &n, nullptr) && n > 0) output->append(buffer, n);
    return cli.Wait(30000);
}

// A message box on a thread of this process.
class BoxThread {
public:
    BoxThread(std::string caption, std::string text, UINT type = MB_OK | MB_ICONERROR)
        : caption_(std::move(caption)), text_(std::move(text)) {
        thread_ = std::thread([this, type] { result_ = MessageBoxA(nullptr, text_.c_str(), caption_.c_str(), type); });
    }
    int Result(DWORD timeoutMs) {
        WaitUntil([&] { return result_ != kPending; }, timeoutMs);
        return result_;
    }
    ~BoxThread() {
        // A test that failed half way must not leave the thread blocked in its box.
        while (result_ == kPending) {
            for (const MessageBoxInfo& box : ListMessageBoxes({GetCurrentProcessId(), caption_, false}))
                PostMessageA(box.window, WM_CLOSE, 0, 0);
            Sleep(20);
        }
        thread_.join();
    }

private:
    std::string caption_, text_;
    std::atomic<int> result_{kPending};
    std::thread thread_;
};

// The test dialog on a thread of this process.
class DialogThread {
public:
    explicit DialogThread(robottest::DialogParams params) : params_(std::move(params)) {
        thread_ = std::thread([this] { result_ = static_cast<int>(robottest::RunTestDialog(params_, &record_)); });
    }
    robottest::DialogRecord& Record() { return record_; }
    int Result(DWORD timeoutMs) {
        WaitUntil([&] { return result_ != kPending; }, timeoutMs);
        return result_;
    }
    ~DialogThread() {
        while (result_ == kPending) {
            if (HWND window = record_.window) PostMessageA(window, WM_CLOSE, 0, 0);
            Sleep(20);
        }
        thread_.join();
    }

private:
    robottest::DialogParams params_;
    robottest::DialogRecord record_;
    std::atomic<int> result_{kPending};
    std::thread thread_;
};

WindowFilter OwnProcess(const std::string& prefix = std::string()) { return {GetCurrentProcessId(), prefix, true}; }

bool ContainsWindow(const std::vector<MessageBoxInfo>& boxes, HWND window) {
    for (const MessageBoxInfo& box : boxes)
        if (box.window == window) return true;
    return false;
}

void ExpectStandardDialog(const ProgressDialogState& s) {
    robottest::DialogParams p = robottest::StandardDialogParams();
    EXPECT_EQ(s.title, p.title);
    EXPECT_EQ(s.status, p.status);
    EXPECT_EQ(s.fileLabel, p.fileLabel);
    EXPECT_EQ(s.fileFigures, p.fileFigures);
    EXPECT_EQ(s.totalLabel, p.totalLabel);
    EXPECT_EQ(s.totalFigures, p.totalFigures);
    EXPECT_EQ(s.cancelText, "Cancel");
    EXPECT_EQ((std::vector<int>{s.fileBar.low, s.fileBar.high, s.fileBar.pos, s.fileBar.step}),
              (std::vector<int>{0, 3, 2, 1}));
    EXPECT_EQ((std::vector<int>{s.totalBar.low, s.totalBar.high, s.totalBar.pos, s.totalBar.step}),
              (std::vector<int>{0, 65535, 40000, 7}));
    EXPECT_EQ(s.rect.left, p.left);
    EXPECT_EQ(s.rect.top, p.top);
    EXPECT_GT(s.rect.right - s.rect.left, s.rect.bottom - s.rect.top);  // 206 x 79 units: wider than high
    EXPECT_TRUE(s.visible);
    EXPECT_FALSE(s.style & WS_SYSMENU);
    EXPECT_TRUE(s.style & WS_CAPTION);
    ASSERT_EQ(s.controls.size(), 8u);
    for (const auto& entry : s.controls) {
        EXPECT_TRUE(entry.second.exists) << entry.first;
        EXPECT_TRUE(entry.second.visible) << entry.first;
    }
    EXPECT_EQ(s.controls.at(kFileBar).className, "msctls_progress32");
    EXPECT_EQ(s.controls.at(kCancelButton).className, "Button");
    // The status line lies above the file bar, which lies above the total bar.
    EXPECT_LT(s.controls.at(kStatusLine).rect.top, s.controls.at(kFileBar).rect.top);
    EXPECT_LT(s.controls.at(kFileBar).rect.top, s.controls.at(kTotalBar).rect.top);
}

}  // namespace

TEST(RobotMessageBox, FindsReadsAndClosesABoxOfAnotherThread) {
    std::string text = "First line\r\nSecond line: " + std::string(3000, 'x') + " end";
    BoxThread thread("Robot box A", text);
    MessageBoxInfo box;
    ASSERT_TRUE(FindMessageBox(OwnProcess("Robot box"), 5000, &box));
    EXPECT_EQ(box.caption, "Robot box A");
    EXPECT_EQ(box.text, text);  // read whole, line breaks and all
    EXPECT_EQ(box.processId, GetCurrentProcessId());
    EXPECT_NE(box.threadId, GetCurrentThreadId());
    EXPECT_EQ(box.buttonIds, std::vector<int>{IDOK});
    EXPECT_FALSE(IsProgressDialog(box.window));

    // Filters that do not fit find nothing, and say so once the time is up.
    EXPECT_FALSE(FindMessageBox(OwnProcess("Robot box B"), 200, nullptr));
    EXPECT_FALSE(FindMessageBox({GetCurrentProcessId() + 4, "Robot box A", true}, 100, nullptr));
    EXPECT_TRUE(ContainsWindow(ListMessageBoxes(), box.window));

    ASSERT_TRUE(CloseMessageBox(box.window));
    EXPECT_EQ(thread.Result(5000), IDOK);
    EXPECT_TRUE(ListMessageBoxes(OwnProcess("Robot box")).empty());
}

TEST(RobotMessageBox, PressesTheFirstOrTheChosenButton) {
    {
        BoxThread thread("Robot box B1", "Yes or no?", MB_YESNO | MB_ICONQUESTION);
        MessageBoxInfo box;
        ASSERT_TRUE(FindMessageBox(OwnProcess("Robot box B1"), 5000, &box));
        EXPECT_EQ(box.buttonIds, (std::vector<int>{IDYES, IDNO}));
        EXPECT_FALSE(PressMessageBoxButton(box.window, IDOK, 200));  // no such button to press
        ASSERT_TRUE(CloseMessageBox(box.window));
        EXPECT_EQ(thread.Result(5000), IDYES);
    }
    {
        BoxThread thread("Robot box B2", "Yes or no?", MB_YESNO);
        MessageBoxInfo box;
        ASSERT_TRUE(FindMessageBox(OwnProcess("Robot box B2"), 5000, &box));
        ASSERT_TRUE(PressMessageBoxButton(box.window, IDNO));
        EXPECT_EQ(thread.Result(5000), IDNO);
    }
}

TEST(RobotMessageBox, FindsAndClosesABoxOfAnotherProcess) {
    Child target;
    ASSERT_TRUE(target.Start("robot_target.exe", "box \"Robot box C\" \"Shown by another process.\""));
    MessageBoxInfo box;
    ASSERT_TRUE(FindMessageBox({target.Pid(), "", true}, 10000, &box));
    EXPECT_EQ(box.caption, "Robot box C");
    EXPECT_EQ(box.text, "Shown by another process.");
    EXPECT_EQ(box.processId, target.Pid());
    EXPECT_TRUE(ListMessageBoxes(OwnProcess("Robot box C")).empty());  // not ours
    ASSERT_TRUE(CloseMessageBox(box.window));
    EXPECT_EQ(target.Wait(10000), IDOK);
}

TEST(RobotMessageBox, WatcherClosesAndRecordsEveryBoxThatFits) {
    Child target;
    std::vector<MessageBoxInfo> seen;
    {
        BoxWatcher watcher({0, "Robot watch", true});
        BoxThread unwatched("Robot unwatched", "Must stay open.");
        BoxThread a("Robot watch 1", "Text A");
        BoxThread b("Robot watch 2", "Text B");
        ASSERT_TRUE(target.Start("robot_target.exe", "boxes 3 \"Robot watch other\""));
        ASSERT_TRUE(watcher.WaitForCount(5, 30000)) << watcher.Count();
        EXPECT_EQ(a.Result(5000), IDOK);
        EXPECT_EQ(b.Result(5000), IDOK);
        EXPECT_EQ(target.Wait(10000), 3);  // all three boxes of the other process returned IDOK
        // The box that does not fit the filter is still there.
        MessageBoxInfo box;
        ASSERT_TRUE(FindMessageBox(OwnProcess("Robot unwatched"), 1000, &box));
        ASSERT_TRUE(CloseMessageBox(box.window));
        EXPECT_EQ(unwatched.Result(5000), IDOK);
        seen = watcher.Seen();
    }
    std::set<std::string> captions;
    int ours = 0;
    for (const MessageBoxInfo& box : seen) {
        captions.insert(box.caption + "|" + box.text);
        if (box.processId == GetCurrentProcessId()) ++ours;
        else EXPECT_EQ(box.processId, target.Pid());
    }
    EXPECT_EQ(captions, (std::set<std::string>{"Robot watch 1|Text A", "Robot watch 2|Text B",
                                               "Robot watch other 1|Box 1 of 3", "Robot watch other 2|Box 2 of 3",
                                               "Robot watch other 3|Box 3 of 3"}));
    EXPECT_EQ(ours, 2);
    // Once the watcher is gone, boxes stay open.
    BoxThread later("Robot watch 3", "After the watcher");
    MessageBoxInfo box;
    ASSERT_TRUE(FindMessageBox(OwnProcess("Robot watch 3"), 5000, &box));
    Sleep(300);
    EXPECT_TRUE(IsWindow(box.window));
    ASSERT_TRUE(CloseMessageBox(box.window));
    EXPECT_EQ(later.Result(5000), IDOK);
}

TEST(RobotProgressDialog, ReadsDrivesAndClosesADialogOfAnotherThread) {
    DialogThread thread(robottest::StandardDialogParams());
    HWND dialog = nullptr;
    ASSERT_TRUE(FindProgressDialog(OwnProcess(), 5000, &dialog));
    EXPECT_EQ(dialog, thread.Record().window.load());
    EXPECT_FALSE(IsMessageBox(dialog));
    EXPECT_FALSE(ContainsWindow(ListMessageBoxes(OwnProcess()), dialog));

    ProgressDialogState state;
    ASSERT_TRUE(ReadProgressDialog(dialog, &state));
    ExpectStandardDialog(state);
    EXPECT_FALSE(state.topmost);
    EXPECT_EQ(state.processId, GetCurrentProcessId());

    // What is read is the live state, not a copy.
    SendMessageA(GetDlgItem(dialog, kFileBar), PBM_STEPIT, 0, 0);
    SetDlgItemTextA(dialog, kFileFigures, "0.04 / 0.04M");
    ASSERT_TRUE(ReadProgressDialog(dialog, &state));
    EXPECT_EQ(state.fileBar.pos, 3);
    EXPECT_EQ(state.fileFigures, "0.04 / 0.04M");

    // Escape and Enter reach the procedure through the dialog manager as IDCANCEL and
    // IDOK; a procedure that ignores them stays open.
    robottest::DialogRecord& record = thread.Record();
    ASSERT_TRUE(PressKey(dialog, Key::Escape));
    EXPECT_TRUE(WaitUntil([&] { return record.cancelCommands == 1; }, 2000));
    ASSERT_TRUE(PressKey(dialog, Key::Enter));
    EXPECT_TRUE(WaitUntil([&] { return record.okCommands == 1; }, 2000));
    EXPECT_TRUE(IsWindow(dialog));
    EXPECT_EQ(record.cancelClicks, 0);

    // Cancel reaches the procedure before ClickCancel returns; the dialog stays.
    ASSERT_TRUE(ClickCancel(dialog));
    EXPECT_EQ(record.cancelClicks, 1);
    EXPECT_EQ(record.okCommands, 1);
    EXPECT_EQ(record.cancelCommands, 1);
    EXPECT_TRUE(IsWindow(dialog));
    // A disabled Cancel cannot be clicked.
    EnableWindow(GetDlgItem(dialog, kCancelButton), FALSE);
    EXPECT_FALSE(ClickCancel(dialog));
    EXPECT_EQ(record.cancelClicks, 1);

    ASSERT_TRUE(PostCloseRequest(dialog));
    EXPECT_EQ(thread.Result(5000), 1);
    EXPECT_EQ(record.closeRequests, 1);
    EXPECT_FALSE(FindProgressDialog(OwnProcess(), 0, nullptr));
    EXPECT_FALSE(ReadProgressDialog(dialog, &state));
}

TEST(RobotProgressDialog, ReadsAndDrivesADialogOfAnotherProcess) {
    Child target;
    ASSERT_TRUE(target.Start("robot_target.exe", "dialog topmost"));
    HWND dialog = nullptr;
    ASSERT_TRUE(FindProgressDialog({target.Pid(), "", true}, 10000, &dialog));
    EXPECT_FALSE(FindProgressDialog(OwnProcess(), 0, nullptr));
    ProgressDialogState state;
    ASSERT_TRUE(ReadProgressDialog(dialog, &state));
    ExpectStandardDialog(state);
    EXPECT_TRUE(state.topmost);
    EXPECT_EQ(state.processId, target.Pid());

    ASSERT_TRUE(PressKey(dialog, Key::Escape));
    ASSERT_TRUE(PressKey(dialog, Key::Enter));
    ASSERT_TRUE(ClickCancel(dialog));
    ASSERT_TRUE(ClickCancel(dialog));
    EXPECT_TRUE(IsWindow(dialog));
    ASSERT_TRUE(PostCloseRequest(dialog));
    // Two Cancel clicks, one IDOK, one IDCANCEL, ended by WM_CLOSE.
    EXPECT_EQ(target.Wait(10000), 2 | 1 << 2 | 1 << 4 | 1 << 6);
}

TEST(RobotCli, ReportsAndDrivesWindows) {
    std::string pid = std::to_string(GetCurrentProcessId());
    std::string out;
    EXPECT_EQ(RunCli("bogus", &out), 2);
    EXPECT_EQ(RunCli("boxes --wait 100 --pid " + pid + " --caption \"Robot cli\"", &out), 1);
    EXPECT_EQ(out, "");
    {
        BoxThread box("Robot cli box", "Say \"hi\" \\ bye");
        ASSERT_TRUE(FindMessageBox(OwnProcess("Robot cli box"), 5000, nullptr));
        ASSERT_EQ(RunCli("boxes --wait 5000 --close --pid " + pid + " --caption \"Robot cli\"", &out), 0);
        EXPECT_NE(out.find("\"caption\":\"Robot cli box\",\"text\":\"Say \\\"hi\\\" \\\\ bye\""), std::string::npos)
            << out;
        EXPECT_NE(out.find("\"pid\":" + pid + ","), std::string::npos) << out;
        EXPECT_EQ(box.Result(5000), IDOK);
    }
    {
        BoxThread box("Robot cli close", "Closed by the watcher");
        ASSERT_TRUE(FindMessageBox(OwnProcess("Robot cli close"), 5000, nullptr));
        ASSERT_EQ(RunCli("close-boxes --for 1000 --caption \"Robot cli close\"", &out), 0);
        EXPECT_NE(out.find("\"text\":\"Closed by the watcher\""), std::string::npos) << out;
        EXPECT_EQ(box.Result(5000), IDOK);
    }
    DialogThread dialog(robottest::StandardDialogParams());
    ASSERT_EQ(RunCli("progress --wait 5000 --pid " + pid, &out), 0);
    EXPECT_NE(out.find("\"title\":\"Robot T\xC3\xA9l\xC3\xA9" "chargement\""), std::string::npos) << out;  // UTF-8
    EXPECT_NE(out.find("\"file_figures\":\"0.02 / 0.04M   <resuming>\""), std::string::npos) << out;
    EXPECT_NE(out.find("\"file_bar\":{\"low\":0,\"high\":3,\"pos\":2,\"step\":1}"), std::string::npos) << out;
    EXPECT_NE(out.find("\"total_bar\":{\"low\":0,\"high\":65535,\"pos\":40000,\"step\":7}"), std::string::npos);
    ASSERT_EQ(RunCli("key escape --pid " + pid, &out), 0);
    EXPECT_TRUE(WaitUntil([&] { return dialog.Record().cancelCommands == 1; }, 2000));
    ASSERT_EQ(RunCli("cancel --pid " + pid, &out), 0);
    EXPECT_EQ(dialog.Record().cancelClicks, 1);
    EXPECT_EQ(dialog.Result(0), kPending);  // still open
}
