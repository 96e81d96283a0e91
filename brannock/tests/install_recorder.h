// Watches Brannock's install dialog from the thread that runs it: a window-message hook
// of that thread sees every value set on the bars and the file name line, and reads the
// dialog with the UI robot at the first progress message, where it can also press Cancel
// (a posted click, delivered by the dialog's own pumping). One recorder at a time.
#pragma once
#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

#include "tests/robot/ui_robot.h"

class InstallRecorder {
public:
    explicit InstallRecorder(bool cancelAtFirstProgress = false) : cancel_(cancelAtFirstProgress) { Current() = this; }
    ~InstallRecorder() {
        UnhookWindowsHookEx(hook_);
        Current() = nullptr;
    }
    InstallRecorder(const InstallRecorder&) = delete;
    InstallRecorder& operator=(const InstallRecorder&) = delete;

    bool sawDialog = false;
    std::vector<int> fileBar, overallBar;  // positions set on 1000 and 1001, in order
    std::vector<std::string> fileNames;    // texts set on 1002
    // At the first progress message (the first to set bar 1001):
    bool sawProgress = false;
    std::string title, status, cancelText;
    RECT window{}, client{};
    bool topmost = false;
    uirobot::BarState fileRange, overallRange;

private:
    static InstallRecorder*& Current() {
        static InstallRecorder* current = nullptr;
        return current;
    }
    static LRESULT CALLBACK Hook(int code, WPARAM wParam, LPARAM lParam) {
        if (code == HC_ACTION && Current()) Current()->Seen(*reinterpret_cast<const CWPSTRUCT*>(lParam));
        return CallNextHookEx(nullptr, code, wParam, lParam);
    }
    void Seen(const CWPSTRUCT& message) {
        const HWND dialog = GetParent(message.hwnd);
        const int id = GetDlgCtrlID(message.hwnd);
        sawDialog |= message.message == WM_INITDIALOG;
        if (message.message == WM_SETTEXT && id == 1002) fileNames.push_back(reinterpret_cast<const char*>(message.lParam));
        if (message.message != PBM_SETPOS || uirobot::ClassNameOf(message.hwnd) != PROGRESS_CLASSA) return;
        (id == 1000 ? fileBar : overallBar).push_back(static_cast<int>(message.wParam));
        if (id != 1001 || sawProgress) return;
        sawProgress = true;
        title = uirobot::ReadWindowText(dialog);
        status = uirobot::ReadWindowText(GetDlgItem(dialog, 1003));
        cancelText = uirobot::ReadWindowText(GetDlgItem(dialog, 2));
        GetWindowRect(dialog, &window);
        GetClientRect(dialog, &client);
        topmost = (GetWindowLongA(dialog, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
        uirobot::ReadBar(GetDlgItem(dialog, 1000), &fileRange);
        uirobot::ReadBar(GetDlgItem(dialog, 1001), &overallRange);
        if (cancel_) PostMessageA(GetDlgItem(dialog, 2), BM_CLICK, 0, 0);
    }

    bool cancel_;
    HHOOK hook_ = SetWindowsHookExA(WH_CALLWNDPROC, Hook, nullptr, GetCurrentThreadId());
};
