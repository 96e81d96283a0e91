// A real dialog laid out like the progress dialog, for the robot's tests: it shows given
// texts and bar states and records what reaches its procedure.
#pragma once
#include <windows.h>

#include <atomic>
#include <string>

namespace robottest {

struct DialogParams {
    std::string title;
    std::string status;        // 203
    std::string fileLabel;     // 211
    std::string fileFigures;   // 204
    std::string totalLabel;    // 212
    std::string totalFigures;  // 205
    int fileHigh = 1, filePos = 0, fileStep = 1;     // 209, range 0..fileHigh
    int totalHigh = 1, totalPos = 0, totalStep = 1;  // 202
    bool topmost = false;
    int left = 0, top = 0;  // where the dialog puts itself
};

struct DialogRecord {
    std::atomic<HWND> window{nullptr};
    std::atomic<int> cancelClicks{0};    // WM_COMMAND from 206
    std::atomic<int> okCommands{0};      // WM_COMMAND IDOK (Enter)
    std::atomic<int> cancelCommands{0};  // WM_COMMAND IDCANCEL (Escape)
    std::atomic<int> closeRequests{0};   // WM_CLOSE
};

// The values that robot_target shows and the tests expect.
DialogParams StandardDialogParams();
// Shows the dialog modally on the calling thread. Like the engine's dialog it ignores
// IDOK and IDCANCEL and ends only on WM_CLOSE, with the result 1.
INT_PTR RunTestDialog(const DialogParams& params, DialogRecord* record);
// robot_target's exit code after a dialog: bits 0-1 Cancel clicks, 2-3 IDOK commands,
// 4-5 IDCANCEL commands (each at most 3), bit 6 ended by WM_CLOSE.
int EncodeDialogOutcome(const DialogRecord& record, INT_PTR result);

}  // namespace robottest
