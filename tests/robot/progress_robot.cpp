// The progress dialog: lookup, reading, Cancel and keys.
#include "ui_robot.h"

#include <commctrl.h>

#include "robot_internal.h"

namespace uirobot {

namespace {

constexpr DWORD kSendTimeoutMs = 2000;
const int kLayoutIds[] = {kStatusLine, kFileLabel, kFileFigures, kFileBar,
                          kTotalLabel, kTotalFigures, kTotalBar, kCancelButton};

bool IsProgressBar(HWND control) {
    return control && _stricmp(ClassNameOf(control).c_str(), PROGRESS_CLASSA) == 0;
}

ControlState ReadControl(HWND dialog, int id) {
    ControlState state;
    HWND control = GetDlgItem(dialog, id);
    if (!control) return state;
    state.exists = true;
    state.className = ClassNameOf(control);
    state.text = ReadWindowText(control);
    GetWindowRect(control, &state.rect);
    state.style = GetWindowLongA(control, GWL_STYLE);
    state.visible = IsWindowVisible(control) != FALSE;
    state.enabled = IsWindowEnabled(control) != FALSE;
    return state;
}

}  // namespace

bool IsProgressDialog(HWND window) {
    if (!IsWindow(window) || GetAncestor(window, GA_PARENT) != GetDesktopWindow()) return false;
    if (ClassNameOf(window) != "#32770") return false;
    for (int id : {kStatusLine, kFileFigures, kTotalFigures, kCancelButton}) {
        if (!GetDlgItem(window, id)) return false;
    }
    return IsProgressBar(GetDlgItem(window, kFileBar)) && IsProgressBar(GetDlgItem(window, kTotalBar));
}

bool FindProgressDialog(const WindowFilter& filter, DWORD timeoutMs, HWND* dialog) {
    DWORD start = GetTickCount();
    for (;;) {
        for (HWND window : internal::TopLevelWindows()) {
            if (IsProgressDialog(window) && internal::PassesFilter(window, filter)) {
                if (dialog) *dialog = window;
                return true;
            }
        }
        if (GetTickCount() - start >= timeoutMs) return false;
        Sleep(internal::kPollMs);
    }
}

bool ReadBar(HWND bar, BarState* state) {
    // PBM_GETRANGE with no PBRANGE pointer answers one limit in its result: a pointer
    // would have to lie in the bar's own process.
    DWORD_PTR low = 0, high = 0, pos = 0, step = 0;
    if (!internal::SendWithTimeout(bar, PBM_GETRANGE, TRUE, 0, kSendTimeoutMs, &low) ||
        !internal::SendWithTimeout(bar, PBM_GETRANGE, FALSE, 0, kSendTimeoutMs, &high) ||
        !internal::SendWithTimeout(bar, PBM_GETPOS, 0, 0, kSendTimeoutMs, &pos) ||
        !internal::SendWithTimeout(bar, PBM_GETSTEP, 0, 0, kSendTimeoutMs, &step))
        return false;
    state->low = static_cast<int>(low);
    state->high = static_cast<int>(high);
    state->pos = static_cast<int>(pos);
    state->step = static_cast<int>(step);
    return true;
}

bool ReadProgressDialog(HWND dialog, ProgressDialogState* state) {
    if (!IsProgressDialog(dialog)) return false;
    ProgressDialogState result;
    result.window = dialog;
    result.threadId = GetWindowThreadProcessId(dialog, &result.processId);
    result.title = ReadWindowText(dialog);
    for (int id : kLayoutIds) result.controls[id] = ReadControl(dialog, id);
    result.status = result.controls[kStatusLine].text;
    result.fileLabel = result.controls[kFileLabel].text;
    result.fileFigures = result.controls[kFileFigures].text;
    result.totalLabel = result.controls[kTotalLabel].text;
    result.totalFigures = result.controls[kTotalFigures].text;
    result.cancelText = result.controls[kCancelButton].text;
    if (!ReadBar(GetDlgItem(dialog, kFileBar), &result.fileBar) ||
        !ReadBar(GetDlgItem(dialog, kTotalBar), &result.totalBar))
        return false;
    GetWindowRect(dialog, &result.rect);
    GetClientRect(dialog, &result.clientRect);
    result.style = GetWindowLongA(dialog, GWL_STYLE);
    result.exStyle = GetWindowLongA(dialog, GWL_EXSTYLE);
    result.visible = IsWindowVisible(dialog) != FALSE;
    result.enabled = IsWindowEnabled(dialog) != FALSE;
    result.topmost = (result.exStyle & WS_EX_TOPMOST) != 0;
    result.foreground = GetForegroundWindow() == dialog;
    if (!IsWindow(dialog)) return false;  // closed while being read
    *state = std::move(result);
    return true;
}

bool ClickButton(HWND dialog, int controlId, DWORD timeoutMs) {
    HWND button = GetDlgItem(dialog, controlId);
    if (!button || !IsWindowVisible(button) || !IsWindowEnabled(button)) return false;
    // BM_CLICK makes the button press and release itself; it then sends WM_COMMAND
    // BN_CLICKED to the dialog, all within this sent message.
    return internal::SendWithTimeout(button, BM_CLICK, 0, 0, timeoutMs, nullptr);
}

bool PressKey(HWND dialog, Key key) {
    if (!IsWindow(dialog)) return false;
    HWND target = FocusedControlOf(dialog);
    if (!target || (target != dialog && !IsChild(dialog, target))) target = dialog;
    UINT vk = key == Key::Enter ? VK_RETURN : VK_ESCAPE;
    UINT scan = MapVirtualKeyA(vk, MAPVK_VK_TO_VSC);
    LPARAM down = 1 | (static_cast<LPARAM>(scan) << 16);
    LPARAM up = down | (static_cast<LPARAM>(1) << 30) | (static_cast<LPARAM>(1) << 31);
    if (!PostMessageA(target, WM_KEYDOWN, vk, down) || !PostMessageA(target, WM_KEYUP, vk, up)) return false;
    // Give the dialog's loop time to take the posted keys; each answered WM_NULL shows
    // that its thread has been through its queue again.
    for (int i = 0; i < 5 && IsWindow(dialog); ++i) {
        internal::SendWithTimeout(dialog, WM_NULL, 0, 0, kSendTimeoutMs, nullptr);
        Sleep(internal::kPollMs);
    }
    return true;
}

}  // namespace uirobot
