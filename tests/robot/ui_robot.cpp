// Window lookup, text reading and message boxes.
#include "ui_robot.h"

#include "robot_internal.h"

namespace uirobot {

namespace {

constexpr int kMessageBoxTextId = 0xFFFF;

BOOL CALLBACK CollectTopLevel(HWND window, LPARAM param) {
    reinterpret_cast<std::vector<HWND>*>(param)->push_back(window);
    return TRUE;
}

BOOL CALLBACK CollectChildren(HWND window, LPARAM param) {
    reinterpret_cast<std::vector<HWND>*>(param)->push_back(window);
    return TRUE;
}

// The control id as the template wrote it: a 16-bit id may come back sign-extended.
bool HasId(HWND control, int id) {
    return (static_cast<unsigned>(GetDlgCtrlID(control)) & 0xFFFFu) == static_cast<unsigned>(id);
}

HWND MessageBoxText(HWND box) {
    for (HWND child : internal::DirectChildren(box)) {
        if (HasId(child, kMessageBoxTextId) && _stricmp(ClassNameOf(child).c_str(), "Static") == 0) return child;
    }
    return nullptr;
}

}  // namespace

namespace internal {

std::vector<HWND> TopLevelWindows() {
    std::vector<HWND> windows;
    EnumWindows(CollectTopLevel, reinterpret_cast<LPARAM>(&windows));
    return windows;
}

std::vector<HWND> DirectChildren(HWND parent) {
    std::vector<HWND> all;
    EnumChildWindows(parent, CollectChildren, reinterpret_cast<LPARAM>(&all));
    std::vector<HWND> direct;
    for (HWND child : all) {
        if (GetParent(child) == parent) direct.push_back(child);
    }
    return direct;
}

bool PassesFilter(HWND window, const WindowFilter& filter) {
    if (filter.visibleOnly && !IsWindowVisible(window)) return false;
    if (filter.processId != 0) {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        if (pid != filter.processId) return false;
    }
    if (!filter.captionPrefix.empty()) {
        std::string caption = ReadWindowText(window);
        if (caption.compare(0, filter.captionPrefix.size(), filter.captionPrefix) != 0) return false;
    }
    return true;
}

bool SendWithTimeout(HWND window, UINT message, WPARAM wParam, LPARAM lParam, DWORD timeoutMs, DWORD_PTR* result) {
    DWORD_PTR value = 0;
    if (!SendMessageTimeoutA(window, message, wParam, lParam, SMTO_NORMAL, timeoutMs, &value)) return false;
    if (result) *result = value;
    return true;
}

}  // namespace internal

std::string ClassNameOf(HWND window) {
    char name[256] = {};
    if (!GetClassNameA(window, name, sizeof name)) return std::string();
    return name;
}

std::string ReadWindowText(HWND window, DWORD timeoutMs) {
    if (!IsWindow(window)) return std::string();
    // WM_GETTEXT is carried across processes by the system and reaches the control's
    // own procedure, so this reads what the control shows.
    DWORD_PTR length = 0;
    if (internal::SendWithTimeout(window, WM_GETTEXTLENGTH, 0, 0, timeoutMs, &length)) {
        if (length > (1u << 20)) length = 1u << 20;  // no window holds more; a bound for garbage
        std::string text(length + 2, '\0');
        DWORD_PTR copied = 0;
        if (internal::SendWithTimeout(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]), timeoutMs,
                                      &copied)) {
            text.resize(copied < text.size() ? copied : text.size() - 1);
            return text;
        }
    }
    // A thread that does not answer: the system's copy of the window text, which never
    // sends a message (GetWindowTextA would, and hang, for a window of this process).
    wchar_t wide[4096] = {};
    int n = InternalGetWindowText(window, wide, 4096);
    if (n <= 0) return std::string();
    int bytes = WideCharToMultiByte(CP_ACP, 0, wide, n, nullptr, 0, nullptr, nullptr);
    std::string text(bytes > 0 ? bytes : 0, '\0');
    if (bytes > 0) WideCharToMultiByte(CP_ACP, 0, wide, n, &text[0], bytes, nullptr, nullptr);
    return text;
}

bool WaitForWindowGone(HWND window, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (IsWindow(window)) {
        if (GetTickCount() - start >= timeoutMs) return false;
        Sleep(internal::kPollMs);
    }
    return true;
}

bool PostCloseRequest(HWND window) {
    return IsWindow(window) && PostMessageA(window, WM_CLOSE, 0, 0);
}

HWND FocusedControlOf(HWND dialog) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    DWORD thread = GetWindowThreadProcessId(dialog, nullptr);
    if (!thread || !GetGUIThreadInfo(thread, &info)) return nullptr;
    return info.hwndFocus;
}

bool IsMessageBox(HWND window) {
    if (!IsWindow(window) || GetAncestor(window, GA_PARENT) != GetDesktopWindow()) return false;
    if (ClassNameOf(window) != "#32770") return false;
    return MessageBoxText(window) != nullptr;
}

bool ReadMessageBox(HWND box, MessageBoxInfo* info) {
    if (!IsMessageBox(box)) return false;
    MessageBoxInfo result;
    result.window = box;
    result.threadId = GetWindowThreadProcessId(box, &result.processId);
    result.caption = ReadWindowText(box);
    result.text = ReadWindowText(MessageBoxText(box));
    for (HWND child : internal::DirectChildren(box)) {
        if (_stricmp(ClassNameOf(child).c_str(), "Button") != 0 || !IsWindowVisible(child)) continue;
        result.buttons.push_back(ReadWindowText(child));
        result.buttonIds.push_back(GetDlgCtrlID(child));
    }
    if (!IsWindow(box)) return false;  // closed while being read
    *info = std::move(result);
    return true;
}

std::vector<MessageBoxInfo> ListMessageBoxes(const WindowFilter& filter) {
    std::vector<MessageBoxInfo> boxes;
    for (HWND window : internal::TopLevelWindows()) {
        if (!IsMessageBox(window) || !internal::PassesFilter(window, filter)) continue;
        MessageBoxInfo info;
        if (ReadMessageBox(window, &info)) boxes.push_back(std::move(info));
    }
    return boxes;
}

bool FindMessageBox(const WindowFilter& filter, DWORD timeoutMs, MessageBoxInfo* info) {
    DWORD start = GetTickCount();
    for (;;) {
        std::vector<MessageBoxInfo> boxes = ListMessageBoxes(filter);
        if (!boxes.empty()) {
            if (info) *info = std::move(boxes.front());
            return true;
        }
        if (GetTickCount() - start >= timeoutMs) return false;
        Sleep(internal::kPollMs);
    }
}

bool PressMessageBoxButton(HWND box, int buttonId, DWORD timeoutMs) {
    if (!IsMessageBox(box)) return false;
    HWND button = GetDlgItem(box, buttonId);
    if (!button || !IsWindowVisible(button)) return false;
    // Posted, as the button itself would notify after a click; the box ends its modal
    // loop from inside its own thread.
    if (!PostMessageA(box, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED), reinterpret_cast<LPARAM>(button)))
        return false;
    return WaitForWindowGone(box, timeoutMs);
}

bool CloseMessageBox(HWND box, DWORD timeoutMs) {
    MessageBoxInfo info;
    if (!ReadMessageBox(box, &info)) return !IsWindow(box);
    if (!info.buttonIds.empty()) return PressMessageBoxButton(box, info.buttonIds.front(), timeoutMs);
    return PostCloseRequest(box) && WaitForWindowGone(box, timeoutMs);
}

}  // namespace uirobot
