// UI robot for the Windows tests: finds, reads and drives message boxes and the progress
// dialog of any process on the desktop (the engine runs in halvorin.exe, the test in its
// own process). Everything goes through window messages that the system carries across
// processes: WM_GETTEXT, progress-bar queries answered in the result value, BM_CLICK,
// posted keys and WM_CLOSE.
//
// Texts are the system's ANSI texts, as the engine writes them; AnsiToUtf8 converts for
// printing. Waits poll every 20 ms up to the timeout given.
#pragma once
#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace uirobot {

// Which top-level windows to consider.
struct WindowFilter {
    DWORD processId = 0;        // 0: any process
    std::string captionPrefix;  // empty: any caption (compared case-sensitively)
    // A dialog becomes visible once its WM_INITDIALOG has run and set its texts; earlier
    // it may still show the template's texts.
    bool visibleOnly = true;
};

struct MessageBoxInfo {
    HWND window = nullptr;
    DWORD processId = 0;
    DWORD threadId = 0;
    std::string caption;
    std::string text;                  // the static control 0xFFFF
    std::vector<std::string> buttons;  // visible buttons in child order, texts as shown ("&OK")
    std::vector<int> buttonIds;        // their control ids (IDOK, IDYES, ...)
};

// --- any window -------------------------------------------------------------------------
// Text of a window of any process; "" when it has none or does not answer in time.
std::string ReadWindowText(HWND window, DWORD timeoutMs = 2000);
std::string ClassNameOf(HWND window);
bool WaitForWindowGone(HWND window, DWORD timeoutMs);
// Posts WM_CLOSE (what the title bar's close box sends).
bool PostCloseRequest(HWND window);
// The control that has the keyboard focus in the window's thread, or nullptr.
HWND FocusedControlOf(HWND dialog);

// --- message boxes ----------------------------------------------------------------------
// A message box is a top-level "#32770" window (owned or not) with a static control of
// id 0xFFFF.
bool IsMessageBox(HWND window);
bool ReadMessageBox(HWND box, MessageBoxInfo* info);
std::vector<MessageBoxInfo> ListMessageBoxes(const WindowFilter& filter = {});
// Waits up to timeoutMs for a box that passes the filter; the first one found is returned.
bool FindMessageBox(const WindowFilter& filter, DWORD timeoutMs, MessageBoxInfo* info);
// Presses the button with this id as a user would (the box's procedure gets
// WM_COMMAND id/BN_CLICKED from that button) and waits until the box is gone.
bool PressMessageBoxButton(HWND box, int buttonId, DWORD timeoutMs = 5000);
// Presses the first visible button (OK of an MB_OK box), WM_CLOSE when it has none,
// and waits until the box is gone.
bool CloseMessageBox(HWND box, DWORD timeoutMs = 5000);

// Closes every box that appears while it lives and records it: for tests in which the
// engine may show a box that would otherwise block it. Boxes are recorded in the order
// in which they were closed.
class BoxWatcher {
public:
    explicit BoxWatcher(WindowFilter filter = {}, DWORD pollMs = 20);
    ~BoxWatcher();
    BoxWatcher(const BoxWatcher&) = delete;
    BoxWatcher& operator=(const BoxWatcher&) = delete;

    std::vector<MessageBoxInfo> Seen() const;
    size_t Count() const;
    // True once at least n boxes have been closed.
    bool WaitForCount(size_t n, DWORD timeoutMs) const;
    // Ends the watching thread; later boxes stay open. Called by the destructor.
    void Stop();

private:
    void Run();

    WindowFilter filter_;
    DWORD pollMs_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<MessageBoxInfo> seen_;
    std::set<HWND> handled_;  // closed but perhaps not yet destroyed
    bool stop_ = false;
    std::thread thread_;
};

// --- progress dialog --------------------------------------------------------------------
// Control ids of the progress dialog's template.
enum ProgressControl : int {
    kStatusLine = 203,
    kFileLabel = 211,
    kFileFigures = 204,
    kFileBar = 209,
    kTotalLabel = 212,
    kTotalFigures = 205,
    kTotalBar = 202,
    kCancelButton = 206,
};

struct BarState {
    int low = 0;
    int high = 0;
    int pos = 0;
    int step = 0;
};

struct ControlState {
    bool exists = false;
    std::string className;
    std::string text;
    RECT rect{};  // screen coordinates
    LONG style = 0;
    bool visible = false;
    bool enabled = false;
};

struct ProgressDialogState {
    HWND window = nullptr;
    DWORD processId = 0;
    DWORD threadId = 0;
    std::string title;
    std::string status;        // 203
    std::string fileLabel;     // 211
    std::string fileFigures;   // 204
    std::string totalLabel;    // 212
    std::string totalFigures;  // 205
    std::string cancelText;    // 206
    BarState fileBar;          // 209
    BarState totalBar;         // 202
    RECT rect{};               // window rectangle, screen coordinates
    RECT clientRect{};
    LONG style = 0;
    LONG exStyle = 0;
    bool visible = false;
    bool enabled = false;
    bool topmost = false;      // WS_EX_TOPMOST
    bool foreground = false;   // GetForegroundWindow() is this dialog
    std::map<int, ControlState> controls;  // the eight controls of the template by id
};

// A top-level "#32770" window with the controls 203, 204, 205, 206, 209 and 202, the
// last two progress bars.
bool IsProgressDialog(HWND window);
bool FindProgressDialog(const WindowFilter& filter, DWORD timeoutMs, HWND* dialog);
bool ReadProgressDialog(HWND dialog, ProgressDialogState* state);
// Range, position and step of a progress bar of any process.
bool ReadBar(HWND bar, BarState* state);

// Clicks a button as the mouse would (BM_CLICK): the dialog procedure gets WM_COMMAND
// id/BN_CLICKED before this returns. Refuses a button that is hidden or disabled. The
// button takes the focus, as with a real click.
bool ClickButton(HWND dialog, int controlId, DWORD timeoutMs = 5000);
inline bool ClickCancel(HWND dialog) { return ClickButton(dialog, kCancelButton); }

// Presses a key the way a user would: WM_KEYDOWN and WM_KEYUP are posted to the control
// that has the focus in the dialog's thread (or to the dialog when none has), so the
// dialog's message loop hands them to the dialog manager (IsDialogMessage), which turns
// Escape into WM_COMMAND IDCANCEL and Enter into the default button's command (IDOK when
// there is none; under Wine a button that a click focused does not become the default,
// so Enter still gives IDOK after ClickCancel). Posted input is handled
// asynchronously: this returns after giving the target a short while, so a check that
// "nothing happened" should also confirm that a later, visible action still works.
enum class Key { Enter, Escape };
bool PressKey(HWND dialog, Key key);

// --- formatting -------------------------------------------------------------------------
std::string AnsiToUtf8(const std::string& text);
// One-line JSON objects (UTF-8), for the command-line tool and for test diagnostics.
std::string ToJson(const MessageBoxInfo& box);
std::string ToJson(const ProgressDialogState& state);

}  // namespace uirobot
