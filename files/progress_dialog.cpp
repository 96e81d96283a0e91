#include "files/progress_dialog.h"

#include <commctrl.h>
#include <process.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/win_handles.h"
#include "common/resource_ids.h"
#include "common/message_texts.h"

std::atomic<HWND> progressDialog{nullptr};
std::atomic<bool> abortRequested{false};

namespace {

// Posted to the dialog when updates are waiting; sent by FlushProgressDialog.
constexpr UINT kApplyUpdates = WM_APP + 1;
// After applying, the dialog takes the writes that gather during this many milliseconds
// by its timer, unasked; writers post again only once a quiet period has passed. About
// 30 paints a second look smooth, and each paint costs the window server's time, which
// the transfer's own socket reads share.
constexpr UINT_PTR kUpdateTimer = 1;
constexpr UINT kUpdatePeriodMs = 33;

class SrwGuard {
public:
    explicit SrwGuard(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~SrwGuard() { ReleaseSRWLockExclusive(&lock_); }
    SrwGuard(const SrwGuard&) = delete;
    SrwGuard& operator=(const SrwGuard&) = delete;

private:
    SRWLOCK& lock_;
};

// Guards progressDialogThreadHandle. A slim lock needs no destruction, so a dialog thread
// that ends while the process runs its exit handlers still finds it usable.
SRWLOCK threadLock = SRWLOCK_INIT;
// The thread that runs the dialog; empty when none runs. Set by the opener that starts
// the thread, cleared (closed) by the thread itself when its dialog has ended.
UniqueHandle progressDialogThreadHandle;

// The operations that use the dialog (ProgressOperation), guarded by usersLock.
SRWLOCK usersLock = SRWLOCK_INIT;
std::vector<ProgressOperation*>& Users() {
    static std::vector<ProgressOperation*> users;
    return users;
}

// The window of the dialog that this thread runs, for the clean-up after it has ended.
thread_local HWND ownWindow = nullptr;

// Writes waiting for the dialog thread. A transfer writes four times per 16 KiB block;
// passed on one by one, every bar step and text would be a message, an invalidation and
// a paint, each a round trip to the window server. So each control has one slot that
// keeps the effect of its writes, and the dialog thread applies the slots at most once
// per period. Writers neither allocate (a slot's text keeps its capacity) nor format.
struct TextSlot {
    bool changed = false;
    bool figures = false;  // text is FormatMessageText(textId, first, second)
    std::string text;
    int textId = 0;
    double first = 0;
    double second = 0;
};

// A bar's operations folded: a reset sets range, step and position, so it overrides all
// before it; a position overrides earlier positions and steps. Any sequence thus comes
// down to [reset] [position] [steps], applied in that order.
struct BarSlot {
    bool reset = false;
    uint16_t high = 0;
    bool hasPosition = false;
    uint32_t position = 0;
    uint32_t steps = 0;

    bool Empty() const { return !reset && !hasPosition && steps == 0; }
};

constexpr int kTextIds[] = {IDC_PROGRESS_STATUS, IDC_PROGRESS_FILE_FIGURES, IDC_PROGRESS_TOTAL_FIGURES};
constexpr int kBarIds[] = {IDC_PROGRESS_FILE_BAR, IDC_PROGRESS_TOTAL_BAR};
constexpr int kTextCount = sizeof kTextIds / sizeof kTextIds[0];
constexpr int kBarCount = sizeof kBarIds / sizeof kBarIds[0];

template <int N>
int SlotOf(const int (&ids)[N], int id) {
    for (int i = 0; i < N; ++i) {
        if (ids[i] == id) return i;
    }
    return -1;
}

struct Updates {
    bool titleChanged = false;
    std::string title;
    TextSlot texts[kTextCount];
    BarSlot bars[kBarCount];
};

SRWLOCK updateLock = SRWLOCK_INIT;
Updates pending;           // guarded by updateLock
bool applyPosted = false;  // guarded by updateLock: the dialog will look at pending by itself

// Records a write for the open dialog, and tells the dialog when it was not told yet.
// Nothing is kept while no dialog is open, as direct writes would reach nothing.
template <typename Write>
void Queue(Write write) {
    HWND window = progressDialog;
    if (!window) return;
    bool post = false;
    {
        SrwGuard guard(updateLock);
        write(pending);
        post = !applyPosted;
        applyPosted = true;
    }
    if (post && !PostMessageA(window, kApplyUpdates, 0, 0)) {
        SrwGuard guard(updateLock);
        applyPosted = false;
    }
}

template <typename Write>
void QueueText(int controlId, Write write) {
    const int slot = SlotOf(kTextIds, controlId);
    if (slot < 0) return;
    Queue([&](Updates& updates) {
        TextSlot& text = updates.texts[slot];
        text.changed = true;
        write(text);
    });
}

template <typename Write>
void QueueBar(int barId, Write write) {
    const int slot = SlotOf(kBarIds, barId);
    if (slot >= 0) Queue([&](Updates& updates) { write(updates.bars[slot]); });
}

void DiscardUpdates() {
    SrwGuard guard(updateLock);
    pending.titleChanged = false;
    for (TextSlot& text : pending.texts) text.changed = false;
    for (BarSlot& bar : pending.bars) bar = BarSlot();
    applyPosted = false;
}

// What one dialog keeps on its thread: the writes it took last, and the texts it shows.
struct DialogState {
    Updates taken;
    std::string next;
    std::string shown[kTextCount];
    bool known[kTextCount] = {};
};

// Moves the pending writes into *taken. Returns false, and lets the writers post again,
// when there were none.
bool TakeUpdates(Updates* taken) {
    SrwGuard guard(updateLock);
    bool any = pending.titleChanged;
    taken->titleChanged = pending.titleChanged;
    if (pending.titleChanged) taken->title = pending.title;
    pending.titleChanged = false;
    for (int i = 0; i < kTextCount; ++i) {
        TextSlot& from = pending.texts[i];
        TextSlot& to = taken->texts[i];
        to.changed = from.changed;
        if (from.changed) {
            to.figures = from.figures;
            if (!from.figures) to.text = from.text;  // assigned into capacity already there
            to.textId = from.textId;
            to.first = from.first;
            to.second = from.second;
            any = true;
        }
        from.changed = false;
    }
    for (int i = 0; i < kBarCount; ++i) {
        taken->bars[i] = pending.bars[i];
        pending.bars[i] = BarSlot();
        any = any || !taken->bars[i].Empty();
    }
    applyPosted = any;
    return any;
}

void ApplyBar(HWND control, const BarSlot& bar) {
    if (bar.reset) {
        SendMessageA(control, PBM_SETRANGE, 0, MAKELPARAM(0, bar.high));
        SendMessageA(control, PBM_SETSTEP, 1, 0);
        SendMessageA(control, PBM_SETPOS, 0, 0);
    }
    if (bar.hasPosition) SendMessageA(control, PBM_SETPOS, bar.position, 0);
    if (bar.steps == 0) return;
    // Steps that stay within the range end where one move to their end does; the bar then
    // paints once. Steps that pass the top wrap, so those are taken one by one.
    const long long low = static_cast<int>(SendMessageA(control, PBM_GETRANGE, TRUE, 0));
    const long long high = static_cast<int>(SendMessageA(control, PBM_GETRANGE, FALSE, 0));
    const long long step = static_cast<int>(SendMessageA(control, PBM_GETSTEP, 0, 0));
    const long long end = static_cast<int>(SendMessageA(control, PBM_GETPOS, 0, 0)) + step * bar.steps;
    if (low <= end && end <= high) {
        SendMessageA(control, PBM_SETPOS, static_cast<WPARAM>(end), 0);
        return;
    }
    SendMessageA(control, WM_SETREDRAW, FALSE, 0);
    for (uint32_t i = 0; i < bar.steps; ++i) SendMessageA(control, PBM_STEPIT, 0, 0);
    SendMessageA(control, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(control, nullptr, TRUE);
}

// On the dialog thread: applies what is pending. Returns false when nothing was.
bool ApplyUpdates(HWND dialog, DialogState& state) {
    Updates& updates = state.taken;
    if (!TakeUpdates(&updates)) return false;
    if (updates.titleChanged) SetWindowTextA(dialog, updates.title.c_str());
    for (int i = 0; i < kTextCount; ++i) {
        const TextSlot& text = updates.texts[i];
        if (!text.changed) continue;
        if (text.figures) {
            state.next = FormatMessageText(text.textId, text.first, text.second);
        } else {
            state.next = text.text;
        }
        // An unchanged text is not set again: that would only repaint it.
        if (state.known[i] && state.next == state.shown[i]) continue;
        SetDlgItemTextA(dialog, kTextIds[i], state.next.c_str());
        state.shown[i].swap(state.next);
        state.known[i] = true;
    }
    for (int i = 0; i < kBarCount; ++i) {
        HWND control = GetDlgItem(dialog, kBarIds[i]);
        if (control && !updates.bars[i].Empty()) ApplyBar(control, updates.bars[i]);
    }
    return true;
}

DialogState& StateOf(HWND dialog) { return *reinterpret_cast<DialogState*>(GetWindowLongPtrA(dialog, DWLP_USER)); }

INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG: {
        SetWindowLongPtrA(dialog, DWLP_USER, lParam);
        DiscardUpdates();  // left over from a dialog that closed before it applied them
        ownWindow = dialog;
        progressDialog = dialog;
        abortRequested = false;
        RECT rect;
        GetWindowRect(dialog, &rect);
        const int width = rect.right - rect.left;
        const int height = rect.bottom - rect.top;
        const int left = GetSystemMetrics(SM_CXSCREEN) / 2 - width / 2;
        const int top = GetSystemMetrics(SM_CYSCREEN) / 2 - height / 2;
        SetWindowPos(dialog, HWND_TOP, left, top, 0, 0, SWP_NOSIZE);
        SetDlgItemTextA(dialog, IDC_PROGRESS_FILE_LABEL, MessageText(IDS_LABEL_THIS_FILE).c_str());
        SetDlgItemTextA(dialog, IDC_PROGRESS_TOTAL_LABEL, MessageText(IDS_LABEL_TOTAL).c_str());
        return FALSE;
    }
    case WM_CLOSE: {
        // A dialog whose last user has left was taken out of progressDialog by that user
        // before the request: nobody is cancelled. Any other close cancels its users.
        HWND open = dialog;
        if (progressDialog.compare_exchange_strong(open, nullptr)) CancelProgressOperations();
        abortRequested = true;
        DiscardUpdates();
        EndDialog(dialog, 1);
        return TRUE;
    }
    case WM_COMMAND:
        // Enter (IDOK) and Escape (IDCANCEL) come here too and do nothing.
        if (LOWORD(wParam) == IDC_PROGRESS_CANCEL) {
            OutputDebugStringA("\r\nABORTING!!!!!.");
            abortRequested = true;
            CancelProgressOperations();
        }
        return FALSE;
    case kApplyUpdates:
        if (progressDialog == dialog && ApplyUpdates(dialog, StateOf(dialog))) {
            SetTimer(dialog, kUpdateTimer, kUpdatePeriodMs, nullptr);
        }
        return TRUE;
    case WM_TIMER:
        if (wParam == kUpdateTimer && (progressDialog != dialog || !ApplyUpdates(dialog, StateOf(dialog)))) {
            KillTimer(dialog, kUpdateTimer);
        }
        return TRUE;
    default:
        return FALSE;
    }
}

unsigned __stdcall ProgressDialogThread(void*) {
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    DialogState state;
    DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_PROGRESS), nullptr, ProgressDialogProc,
                    reinterpret_cast<LPARAM>(&state));
    // Normally the close request has cleared it already; this covers a dialog that ended
    // some other way.
    HWND window = ownWindow;
    progressDialog.compare_exchange_strong(window, nullptr);
    SrwGuard guard(threadLock);
    if (progressDialogThreadHandle && GetThreadId(progressDialogThreadHandle.get()) == GetCurrentThreadId()) {
        progressDialogThreadHandle.reset();
    }
    return 0;
}

}  // namespace

bool OpenProgressDialog() {
    bool started = false;
    for (;;) {
        UniqueHandle thread;  // our own handle of the dialog thread, to wait on
        {
            SrwGuard guard(threadLock);
            if (!progressDialogThreadHandle) {
                const uintptr_t handle = _beginthreadex(nullptr, 0, ProgressDialogThread, nullptr, 0, nullptr);
                if (handle == 0) return false;
                progressDialogThreadHandle.reset(reinterpret_cast<HANDLE>(handle));
                started = true;
            }
            DuplicateHandle(GetCurrentProcess(), progressDialogThreadHandle.get(), GetCurrentProcess(),
                            thread.receive(), SYNCHRONIZE, FALSE, 0);
        }
        // Poll every millisecond for the window; stop waiting when the thread has ended.
        for (;;) {
            HWND window = progressDialog;
            if (window) {
                SetForegroundWindow(window);
                return true;
            }
            if (WaitForSingleObject(thread.get(), 1) != WAIT_TIMEOUT) break;
        }
        // The thread we started ended without a window: the dialog cannot be created.
        if (started) return false;
        // Otherwise it was a previous dialog that was closing; it is gone now, so start anew.
    }
}

bool ProgressDialogThreadRunning() {
    SrwGuard guard(threadLock);
    return progressDialogThreadHandle.valid();
}

void CancelProgressOperations() {
    SrwGuard guard(usersLock);
    for (ProgressOperation* user : Users()) user->cancelled_ = true;
}

bool ProgressOperation::Join() {
    if (joined_) return true;
    {
        SrwGuard guard(usersLock);
        Users().push_back(this);
        joined_ = true;
    }
    if (OpenProgressDialog()) return true;
    Leave();
    return false;
}

void ProgressOperation::Leave() {
    if (!joined_) return;
    HWND closing = nullptr;
    {
        SrwGuard guard(usersLock);
        std::vector<ProgressOperation*>& users = Users();
        users.erase(std::remove(users.begin(), users.end(), this), users.end());
        joined_ = false;
        // Taken out under the lock: an operation that joins from now on waits for a new
        // dialog instead of joining this closing one.
        if (users.empty()) closing = progressDialog.exchange(nullptr);
    }
    if (closing) SendMessageA(closing, WM_CLOSE, 0, 0);
}

void CloseProgressDialog() {
    HWND window = progressDialog;
    if (window) SendMessageA(window, WM_CLOSE, 0, 0);
}

void FlushProgressDialog() {
    HWND window = progressDialog;
    if (window) SendMessageA(window, kApplyUpdates, 0, 0);
}

void SetProgressTitle(const char* title) {
    Queue([&](Updates& updates) {
        updates.titleChanged = true;
        updates.title = title;
    });
}

void SetProgressText(int controlId, const char* text) {
    QueueText(controlId, [&](TextSlot& slot) {
        slot.figures = false;
        slot.text = text;
    });
}

void SetProgressFigures(int controlId, int textId, double first, double second) {
    QueueText(controlId, [&](TextSlot& slot) {
        slot.figures = true;
        slot.textId = textId;
        slot.first = first;
        slot.second = second;
    });
}

void ResetProgressBar(int barId, uint32_t bytes) {
    QueueBar(barId, [&](BarSlot& bar) {
        bar = BarSlot();
        bar.reset = true;
        bar.high = ProgressBarUpperBound(bytes);
    });
}

void SetProgressBarPosition(int barId, uint32_t position) {
    QueueBar(barId, [&](BarSlot& bar) {
        bar.hasPosition = true;
        bar.position = position;
        bar.steps = 0;
    });
}

void StepProgressBar(int barId) {
    QueueBar(barId, [](BarSlot& bar) { ++bar.steps; });
}
