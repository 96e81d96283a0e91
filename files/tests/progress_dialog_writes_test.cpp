// How the progress dialog takes a burst of writes: the dialog thread is held while the
// writes are made, so that all of them reach it at once. The dialog's bar must then end
// where a bar of the test's own ends that got every operation one by one, yet get one
// move instead of a step per write, and a text must be set once.
#include <gtest/gtest.h>
#include <windows.h>

#include <commctrl.h>

#include <atomic>

#include "common/message_texts.h"
#include "common/resource_ids.h"
#include "common/win_handles.h"
#include "files/progress_dialog.h"
#include "tests/robot/ui_robot.h"

namespace {

HWND fileBar = nullptr, fileFigures = nullptr;
std::atomic<int> barMoves{0}, textSets{0};
HANDLE holding = nullptr, release = nullptr;  // events owned by the test

// On the dialog thread: counts what reaches the file bar and its figures, and holds the
// thread while the test writes when it is sent WM_NULL.
LRESULT CALLBACK Watch(int code, WPARAM wParam, LPARAM lParam) {
    const CWPSTRUCT* m = reinterpret_cast<const CWPSTRUCT*>(lParam);
    if (code == HC_ACTION && m->hwnd == fileBar && (m->message == PBM_STEPIT || m->message == PBM_SETPOS)) ++barMoves;
    if (code == HC_ACTION && m->hwnd == fileFigures && m->message == WM_SETTEXT) ++textSets;
    if (code == HC_ACTION && m->message == WM_NULL && m->hwnd == progressDialog.load()) {
        SetEvent(holding);
        WaitForSingleObject(release, 10000);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

class ProgressDialogWritesTest : public ::testing::Test {
protected:
    void SetUp() override {
        LoadMessageTexts(GetModuleHandleA(nullptr));
        ASSERT_TRUE(OpenProgressDialog());
        dialog_ = progressDialog;
        fileBar = GetDlgItem(dialog_, IDC_PROGRESS_FILE_BAR);
        fileFigures = GetDlgItem(dialog_, IDC_PROGRESS_FILE_FIGURES);
        holding = holding_.get();
        release = release_.get();
        hook_ = SetWindowsHookExA(WH_CALLWNDPROC, Watch, nullptr, GetWindowThreadProcessId(dialog_, nullptr));
        ASSERT_NE(nullptr, hook_);
        reference_ = CreateWindowExA(0, PROGRESS_CLASSA, "", WS_POPUP, 0, 0, 99, 9, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(nullptr, reference_);
    }
    void TearDown() override {
        UnhookWindowsHookEx(hook_);
        DestroyWindow(reference_);
        CloseProgressDialog();
    }

    // Holds the dialog thread; the writes made until Release reach it together.
    void Hold() {
        ResetEvent(release);
        ASSERT_TRUE(SendNotifyMessageA(dialog_, WM_NULL, 0, 0));
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(holding, 10000));
    }
    void Release() {
        SetEvent(release);
        FlushProgressDialog();
    }
    // The same operation on the dialog's file bar and on the reference bar.
    void Reset(uint32_t bytes) {
        ResetProgressBar(IDC_PROGRESS_FILE_BAR, bytes);
        SendMessageA(reference_, PBM_SETRANGE, 0, MAKELPARAM(0, ProgressBarUpperBound(bytes)));
        SendMessageA(reference_, PBM_SETSTEP, 1, 0);
        SendMessageA(reference_, PBM_SETPOS, 0, 0);
    }
    void Step(int times) {
        for (int i = 0; i < times; ++i) {
            StepProgressBar(IDC_PROGRESS_FILE_BAR);
            SendMessageA(reference_, PBM_STEPIT, 0, 0);
        }
    }
    void Position(uint32_t position) {
        SetProgressBarPosition(IDC_PROGRESS_FILE_BAR, position);
        SendMessageA(reference_, PBM_SETPOS, position, 0);
    }
    void ExpectSameBars() {
        uirobot::BarState shown, expected;
        ASSERT_TRUE(uirobot::ReadBar(fileBar, &shown));
        ASSERT_TRUE(uirobot::ReadBar(reference_, &expected));
        EXPECT_EQ(expected.low, shown.low);
        EXPECT_EQ(expected.high, shown.high);
        EXPECT_EQ(expected.step, shown.step);
        EXPECT_EQ(expected.pos, shown.pos);
    }

    HWND dialog_ = nullptr, reference_ = nullptr;
    HHOOK hook_ = nullptr;
    UniqueHandle holding_{CreateEventA(nullptr, FALSE, FALSE, nullptr)};
    UniqueHandle release_{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
};

TEST_F(ProgressDialogWritesTest, BlocksOfOnePeriodAreOneMoveAndOneText) {
    constexpr uint32_t kBlocks = 20000;
    Hold();
    barMoves = textSets = 0;
    ResetProgressBar(IDC_PROGRESS_FILE_BAR, kBlocks * kProgressBlockSize);
    for (uint32_t i = 1; i <= kBlocks; ++i) {
        StepProgressBar(IDC_PROGRESS_FILE_BAR);
        SetProgressFigures(IDC_PROGRESS_FILE_FIGURES, IDS_FIGURES, i / 1000.0, kBlocks / 1000.0);
    }
    Release();
    uirobot::BarState bar;
    ASSERT_TRUE(uirobot::ReadBar(fileBar, &bar));
    EXPECT_EQ(static_cast<int>(kBlocks), bar.pos);
    EXPECT_EQ(static_cast<int>(kBlocks + 1), bar.high);
    EXPECT_EQ(FormatMessageText(IDS_FIGURES, 20.0, 20.0), uirobot::ReadWindowText(fileFigures));
    EXPECT_EQ(2, barMoves.load()) << "the reset's position 0, then the end of the steps";
    EXPECT_EQ(1, textSets.load());
}

TEST_F(ProgressDialogWritesTest, FoldedOperationsEndWhereTheBarItselfWould) {
    Hold();
    Step(3);  // before any reset: the template's step
    Release();
    ExpectSameBars();
    Hold();
    Reset(40000);  // 0 to 3: five steps pass the top
    Step(5);
    Release();
    ExpectSameBars();
    Hold();
    Position(1);
    Step(1);
    Reset(5 * kProgressBlockSize);
    Step(2);
    Position(4);
    Step(1);
    Position(9);  // beyond the range
    Release();
    ExpectSameBars();
}

}  // namespace
