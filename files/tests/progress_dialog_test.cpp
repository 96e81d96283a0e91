// The process-wide progress dialog under Wine/Xvfb, driven and read by the UI robot:
// its look at start, Cancel, the close request, keys that must do nothing, reuse,
// reopening, and an opener that arrives while the previous dialog is still closing.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "files/progress_dialog.h"
#include "common/resource_ids.h"
#include "tests/robot/ui_robot.h"
#include "common/message_texts.h"

namespace {

uirobot::WindowFilter OwnWindows() {
    uirobot::WindowFilter filter;
    filter.processId = GetCurrentProcessId();
    return filter;
}

BOOL CALLBACK CollectWindow(HWND window, LPARAM windows) {
    reinterpret_cast<std::vector<HWND>*>(windows)->push_back(window);
    return TRUE;
}

// The progress dialogs of this process.
std::vector<HWND> OwnProgressDialogs() {
    std::vector<HWND> all;
    EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&all));
    std::vector<HWND> dialogs;
    for (const HWND window : all) {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        if (pid == GetCurrentProcessId() && uirobot::IsProgressDialog(window)) dialogs.push_back(window);
    }
    return dialogs;
}

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(5);
    }
    return true;
}

// Runs OpenProgressDialog on a thread of its own; false when it has not returned in time
// (the thread is then left behind, and the test fails instead of hanging).
bool OpenWithin(DWORD timeoutMs, bool* opened) {
    auto done = std::make_shared<std::atomic<int>>(-1);
    std::thread opener([done] { *done = OpenProgressDialog() ? 1 : 0; });
    if (!WaitUntil([&] { return *done >= 0; }, timeoutMs)) {
        opener.detach();
        return false;
    }
    opener.join();
    *opened = *done == 1;
    return true;
}

class ProgressDialogTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { LoadMessageTexts(GetModuleHandleA(nullptr)); }
    void TearDown() override {
        CloseProgressDialog();
        EXPECT_TRUE(WaitUntil([] { return !ProgressDialogThreadRunning(); }, 5000));
    }
};

TEST_F(ProgressDialogTest, OpensCentredAndTopmostWithTheLabelsOfTheStringTable) {
    ASSERT_FALSE(ProgressDialogThreadRunning());
    ASSERT_TRUE(OpenProgressDialog());
    const HWND dialog = progressDialog;
    ASSERT_NE(nullptr, dialog);
    EXPECT_TRUE(ProgressDialogThreadRunning());
    EXPECT_FALSE(abortRequested);
    EXPECT_NE(GetCurrentThreadId(), GetWindowThreadProcessId(dialog, nullptr));

    HWND found = nullptr;
    ASSERT_TRUE(uirobot::FindProgressDialog(OwnWindows(), 5000, &found));
    EXPECT_EQ(dialog, found);
    uirobot::ProgressDialogState state;
    ASSERT_TRUE(uirobot::ReadProgressDialog(dialog, &state));
    EXPECT_EQ("", state.title);
    EXPECT_EQ(MessageText(IDS_LABEL_THIS_FILE), state.fileLabel);
    EXPECT_EQ("This file:", state.fileLabel);  // the template's "This file: " is replaced
    EXPECT_EQ("Total:", state.totalLabel);
    EXPECT_EQ("Downloading File: ", state.status);
    EXPECT_EQ("0/0M", state.fileFigures);
    EXPECT_EQ("0/0M", state.totalFigures);
    EXPECT_EQ("Cancel", state.cancelText);
    EXPECT_FALSE(state.topmost);  // at the top, but not above the boxes the engine shows
    EXPECT_TRUE(state.visible);
    EXPECT_EQ(0, state.style & WS_SYSMENU);
    const int width = state.rect.right - state.rect.left;
    const int height = state.rect.bottom - state.rect.top;
    EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN) / 2 - width / 2, state.rect.left);
    EXPECT_EQ(GetSystemMetrics(SM_CYSCREEN) / 2 - height / 2, state.rect.top);

    // Closing returns once the dialog has taken the request; the thread then ends.
    CloseProgressDialog();
    EXPECT_EQ(nullptr, progressDialog.load());
    EXPECT_TRUE(abortRequested);
    EXPECT_TRUE(uirobot::WaitForWindowGone(dialog, 5000));
    EXPECT_TRUE(WaitUntil([] { return !ProgressDialogThreadRunning(); }, 5000));
}

TEST_F(ProgressDialogTest, CancelAbortsWithoutClosingAndKeysDoNothing) {
    ASSERT_TRUE(OpenProgressDialog());
    const HWND dialog = progressDialog;
    SetProgressTitle("Downloading Patches");
    FlushProgressDialog();

    ASSERT_TRUE(uirobot::PressKey(dialog, uirobot::Key::Enter));
    ASSERT_TRUE(uirobot::PressKey(dialog, uirobot::Key::Escape));
    EXPECT_TRUE(IsWindow(dialog));
    EXPECT_EQ(dialog, progressDialog.load());
    EXPECT_FALSE(abortRequested);

    ASSERT_TRUE(uirobot::ClickCancel(dialog));
    EXPECT_TRUE(abortRequested);
    EXPECT_TRUE(IsWindow(dialog));
    EXPECT_EQ(dialog, progressDialog.load());

    // Keys after the click still do nothing: Enter gives IDOK, which is ignored.
    ASSERT_TRUE(uirobot::PressKey(dialog, uirobot::Key::Enter));
    ASSERT_TRUE(uirobot::PressKey(dialog, uirobot::Key::Escape));
    EXPECT_TRUE(IsWindow(dialog));

    // A second user reuses the open dialog as it stands: title kept, abort not cleared.
    ASSERT_TRUE(OpenProgressDialog());
    EXPECT_EQ(dialog, progressDialog.load());
    EXPECT_TRUE(abortRequested);
    EXPECT_EQ("Downloading Patches", uirobot::ReadWindowText(dialog));

    // The close box (WM_CLOSE) ends it and leaves the abort set.
    ASSERT_TRUE(uirobot::PostCloseRequest(dialog));
    EXPECT_TRUE(uirobot::WaitForWindowGone(dialog, 5000));
    EXPECT_EQ(nullptr, progressDialog.load());
    EXPECT_TRUE(abortRequested);

    // Opening again makes a new dialog: empty title, abort cleared.
    ASSERT_TRUE(OpenProgressDialog());
    const HWND second = progressDialog;
    ASSERT_NE(nullptr, second);
    EXPECT_TRUE(IsWindow(second));
    EXPECT_FALSE(abortRequested);
    EXPECT_EQ("", uirobot::ReadWindowText(second));
}

TEST_F(ProgressDialogTest, TextsAndBars) {
    ASSERT_TRUE(OpenProgressDialog());
    const HWND dialog = progressDialog;
    SetProgressTitle("Downloading Modules");
    SetProgressText(IDC_PROGRESS_STATUS, "Downloading file: a.bin");
    SetProgressText(IDC_PROGRESS_FILE_FIGURES, "0.02 / 0.04M");
    SetProgressText(IDC_PROGRESS_TOTAL_FIGURES, "0.02 / 1.00M");
    ResetProgressBar(IDC_PROGRESS_FILE_BAR, 40000);
    StepProgressBar(IDC_PROGRESS_FILE_BAR);
    StepProgressBar(IDC_PROGRESS_FILE_BAR);
    ResetProgressBar(IDC_PROGRESS_TOTAL_BAR, 0);
    FlushProgressDialog();
    uirobot::ProgressDialogState state;
    ASSERT_TRUE(uirobot::ReadProgressDialog(dialog, &state));
    EXPECT_EQ("Downloading Modules", state.title);
    EXPECT_EQ("Downloading file: a.bin", state.status);
    EXPECT_EQ("0.02 / 0.04M", state.fileFigures);
    EXPECT_EQ("0.02 / 1.00M", state.totalFigures);
    EXPECT_EQ(0, state.fileBar.low);
    EXPECT_EQ(3, state.fileBar.high);  // 40,000 bytes: 2 whole blocks, + 1
    EXPECT_EQ(1, state.fileBar.step);
    EXPECT_EQ(2, state.fileBar.pos);
    EXPECT_EQ(1, state.totalBar.high);  // a phase of 0 bytes: 0 to 1
    EXPECT_EQ(0, state.totalBar.pos);

    SetProgressBarPosition(IDC_PROGRESS_FILE_BAR, 3);
    ResetProgressBar(IDC_PROGRESS_TOTAL_BAR, 65534u * 16384u);
    FlushProgressDialog();
    ASSERT_TRUE(uirobot::ReadProgressDialog(dialog, &state));
    EXPECT_EQ(3, state.fileBar.pos);
    EXPECT_EQ(65535, state.totalBar.high);
    // The bar range is 16 bits wide: from 65,535 blocks on it wraps.
    EXPECT_EQ(0, ProgressBarUpperBound(65535u * 16384u));
    EXPECT_EQ(1, ProgressBarUpperBound(16383));
    EXPECT_EQ(2, ProgressBarUpperBound(16384));

    // Writes after the close reach nothing and do no harm.
    CloseProgressDialog();
    SetProgressText(IDC_PROGRESS_STATUS, "late");
    StepProgressBar(IDC_PROGRESS_FILE_BAR);
    SetProgressTitle("late");
    EXPECT_EQ(nullptr, progressDialog.load());
}

TEST_F(ProgressDialogTest, UsersOpeningAtOnceShareOneDialog) {
    std::atomic<int> opened{0};
    std::thread other([&] { opened += OpenProgressDialog() ? 1 : 0; });
    opened += OpenProgressDialog() ? 1 : 0;
    other.join();
    EXPECT_EQ(2, opened);
    const std::vector<HWND> dialogs = OwnProgressDialogs();
    ASSERT_EQ(1u, dialogs.size());
    EXPECT_EQ(progressDialog.load(), dialogs[0]);
}

// Holds the dialog thread in the destruction of its window: the state in which the window
// has taken the close request but its thread has not yet ended.
HWND slowWindow = nullptr;
LRESULT CALLBACK SlowDestroy(int code, WPARAM wParam, LPARAM lParam) {
    const CWPSTRUCT* message = reinterpret_cast<const CWPSTRUCT*>(lParam);
    if (code == HC_ACTION && message->hwnd == slowWindow && message->message == WM_DESTROY) Sleep(800);
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

TEST_F(ProgressDialogTest, OpenerWaitsForAClosingDialogAndStartsANewOne) {
    ASSERT_TRUE(OpenProgressDialog());
    const HWND first = progressDialog;
    const DWORD firstThread = GetWindowThreadProcessId(first, nullptr);
    slowWindow = first;
    HHOOK hook = SetWindowsHookExA(WH_CALLWNDPROC, SlowDestroy, nullptr, firstThread);
    ASSERT_NE(nullptr, hook);

    ASSERT_TRUE(PostMessageA(first, WM_CLOSE, 0, 0));
    ASSERT_TRUE(WaitUntil([] { return progressDialog.load() == nullptr; }, 5000));
    ASSERT_TRUE(ProgressDialogThreadRunning()) << "the old dialog should still be closing";

    const DWORD start = GetTickCount();
    bool opened = false;
    ASSERT_TRUE(OpenWithin(10000, &opened)) << "the opener hangs on a closing dialog";
    const DWORD waited = GetTickCount() - start;
    UnhookWindowsHookEx(hook);
    EXPECT_TRUE(opened);
    const HWND second = progressDialog;
    ASSERT_NE(nullptr, second);
    EXPECT_FALSE(IsWindow(first) && first == second);
    EXPECT_NE(firstThread, GetWindowThreadProcessId(second, nullptr));
    EXPECT_GE(waited, 300u) << "it should have waited for the old thread";
    EXPECT_FALSE(abortRequested);
}

}  // namespace
