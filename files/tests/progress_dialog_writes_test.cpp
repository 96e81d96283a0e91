// Bursts of writes to the progress dialog: the dialog thread is held while they are made,
// so that all of them reach it at once. Its file bar must end where a bar of the test's
// own ends that got every operation one by one, and a run of steps must reach it as one
// move instead of a message per step.
#include <gtest/gtest.h>
#include <windows.h>

#include <commctrl.h>

#include <atomic>
#include <vector>

#include "common/resource_ids.h"
#include "common/win_handles.h"
#include "files/progress_dialog.h"
#include "tests/robot/ui_robot.h"

namespace {

HWND fileBar = nullptr;
std::atomic<int> barMoves{0};
UniqueHandle holding(CreateEventA(nullptr, FALSE, FALSE, nullptr));
UniqueHandle release(CreateEventA(nullptr, TRUE, FALSE, nullptr));

// On the dialog thread: counts the moves of the file bar, and holds the thread while the
// test writes when it is sent WM_NULL.
LRESULT CALLBACK Watch(int code, WPARAM wParam, LPARAM lParam) {
    const CWPSTRUCT* m = reinterpret_cast<const CWPSTRUCT*>(lParam);
    if (code == HC_ACTION && m->hwnd == fileBar && (m->message == PBM_STEPIT || m->message == PBM_SETPOS)) ++barMoves;
    if (code == HC_ACTION && m->hwnd == progressDialog.load() && m->message == WM_NULL) {
        SetEvent(holding.get());
        WaitForSingleObject(release.get(), 10000);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

struct Write {
    char kind;  // 'r' ResetProgressBar(bytes), 'p' SetProgressBarPosition, 's' StepProgressBar times
    uint32_t value;
};

class ProgressDialogWritesTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(OpenProgressDialog());
        fileBar = GetDlgItem(progressDialog, IDC_PROGRESS_FILE_BAR);
        hook_ = SetWindowsHookExA(WH_CALLWNDPROC, Watch, nullptr, GetWindowThreadProcessId(progressDialog, nullptr));
        reference_ = CreateWindowExA(0, PROGRESS_CLASSA, "", WS_POPUP, 0, 0, 99, 9, nullptr, nullptr, nullptr, nullptr);
        ASSERT_TRUE(hook_ && reference_);
    }
    void TearDown() override {
        UnhookWindowsHookEx(hook_);
        DestroyWindow(reference_);
        CloseProgressDialog();
    }

    // Makes the writes while the dialog thread is held; the reference bar gets them one by one.
    void Burst(const std::vector<Write>& writes) {
        ResetEvent(release.get());
        ASSERT_TRUE(SendNotifyMessageA(progressDialog, WM_NULL, 0, 0));
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(holding.get(), 10000));
        barMoves = 0;
        for (const Write& w : writes) {
            if (w.kind == 'r') {
                ResetProgressBar(IDC_PROGRESS_FILE_BAR, w.value);
                SendMessageA(reference_, PBM_SETRANGE, 0, MAKELPARAM(0, ProgressBarUpperBound(w.value)));
                SendMessageA(reference_, PBM_SETSTEP, 1, 0);
                SendMessageA(reference_, PBM_SETPOS, 0, 0);
            } else if (w.kind == 'p') {
                SetProgressBarPosition(IDC_PROGRESS_FILE_BAR, w.value);
                SendMessageA(reference_, PBM_SETPOS, w.value, 0);
            }
            for (uint32_t i = 0; w.kind == 's' && i < w.value; ++i) {
                StepProgressBar(IDC_PROGRESS_FILE_BAR);
                SendMessageA(reference_, PBM_STEPIT, 0, 0);
            }
        }
        SetEvent(release.get());
        FlushProgressDialog();
        uirobot::BarState shown, expected;
        ASSERT_TRUE(uirobot::ReadBar(fileBar, &shown) && uirobot::ReadBar(reference_, &expected));
        EXPECT_EQ(expected.low, shown.low);
        EXPECT_EQ(expected.high, shown.high);
        EXPECT_EQ(expected.step, shown.step);
        EXPECT_EQ(expected.pos, shown.pos);
    }

    HHOOK hook_ = nullptr;
    HWND reference_ = nullptr;
};

TEST_F(ProgressDialogWritesTest, BurstsEndWhereTheBarItselfWould) {
    Burst({{'s', 3}});  // before any reset: the template's step
    Burst({{'s', 2}, {'r', 40000}, {'s', 5}});  // 0 to 3: five steps pass the top and wrap
    Burst({{'p', 1}, {'s', 1}, {'r', 5 * kProgressBlockSize}, {'s', 2}, {'p', 4}, {'s', 1}, {'p', 9}});
    Burst({{'r', 20000 * kProgressBlockSize}, {'s', 20000}});
    EXPECT_EQ(2, barMoves.load()) << "the reset's position 0, then the end of the 20,000 steps";
}

}  // namespace
