#include "files/progress_dialog.h"

#include <commctrl.h>
#include <process.h>

#include <map>
#include <string>
#include <utility>
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
// by its timer, unasked; writers post again only once a quiet period has passed.
constexpr UINT_PTR kUpdateTimer = 1;
constexpr UINT kUpdatePeriodMs = 20;

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

// The window of the dialog that this thread runs, for the clean-up after it has ended.
thread_local HWND ownWindow = nullptr;

// Writes waiting for the dialog thread. A transfer writes five times per 16 KiB block;
// done one by one across threads they cost more than the transfer itself (a progress
// bar repaints at every step, and every message between threads is a round trip), so
// the writers queue them and the dialog thread applies what has gathered in one go, at
// most once per period: per text the latest, per bar every operation in order, painted
// once. Texts, ranges and the order of the operations on each control stay as written;
// a busy dialog only skips showing states that were already overtaken.
struct BarOperation {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    unsigned count;  // the same operation this many times (steps)
};

struct PendingUpdates {
    bool hasTitle = false;
    std::string title;
    std::map<int, std::string> texts;
    std::map<int, std::vector<BarOperation>> bars;
};

SRWLOCK updateLock = SRWLOCK_INIT;
PendingUpdates pending;       // guarded by updateLock
bool applyPosted = false;     // guarded by updateLock: the dialog will look at pending by itself

// Queues an update for the open dialog, and tells the dialog when it was not told yet.
// Nothing is queued while no dialog is open, as direct writes would reach nothing.
template <typename Add>
void Queue(Add add) {
    HWND window = progressDialog;
    if (!window) return;
    bool post = false;
    {
        SrwGuard guard(updateLock);
        add(pending);
        post = !applyPosted;
        applyPosted = true;
    }
    if (post && !PostMessageA(window, kApplyUpdates, 0, 0)) {
        SrwGuard guard(updateLock);
        applyPosted = false;
    }
}

void QueueBar(int barId, UINT message, WPARAM wParam, LPARAM lParam) {
    Queue([&](PendingUpdates& updates) {
        std::vector<BarOperation>& operations = updates.bars[barId];
        if (!operations.empty() && operations.back().message == message && operations.back().wParam == wParam &&
            operations.back().lParam == lParam && message == PBM_STEPIT) {
            ++operations.back().count;
        } else {
            operations.push_back({message, wParam, lParam, 1});
        }
    });
}

void DiscardUpdates() {
    SrwGuard guard(updateLock);
    pending = PendingUpdates();
    applyPosted = false;
}

bool Empty(const PendingUpdates& updates) {
    return !updates.hasTitle && updates.texts.empty() && updates.bars.empty();
}

// On the dialog thread: applies what is pending. Returns false, and lets the writers
// post again, when nothing was.
bool ApplyUpdates(HWND dialog) {
    PendingUpdates updates;
    {
        SrwGuard guard(updateLock);
        std::swap(updates, pending);
        if (Empty(updates)) {
            applyPosted = false;
            return false;
        }
        applyPosted = true;
    }
    if (updates.hasTitle) SetWindowTextA(dialog, updates.title.c_str());
    for (const auto& text : updates.texts) SetDlgItemTextA(dialog, text.first, text.second.c_str());
    for (const auto& bar : updates.bars) {
        HWND control = GetDlgItem(dialog, bar.first);
        if (!control) continue;
        const bool several = bar.second.size() > 1 || bar.second.front().count > 1;
        if (several) SendMessageA(control, WM_SETREDRAW, FALSE, 0);
        for (const BarOperation& operation : bar.second) {
            for (unsigned i = 0; i < operation.count; ++i) {
                SendMessageA(control, operation.message, operation.wParam, operation.lParam);
            }
        }
        if (several) {
            SendMessageA(control, WM_SETREDRAW, TRUE, 0);
            InvalidateRect(control, nullptr, TRUE);
        }
    }
    return true;
}

INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG: {
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
    case WM_CLOSE:
        progressDialog = nullptr;
        abortRequested = true;
        DiscardUpdates();
        EndDialog(dialog, 1);
        return TRUE;
    case WM_COMMAND:
        // Enter (IDOK) and Escape (IDCANCEL) come here too and do nothing.
        if (LOWORD(wParam) == IDC_PROGRESS_CANCEL) {
            OutputDebugStringA("\r\nABORTING!!!!!.");
            abortRequested = true;
        }
        return FALSE;
    case kApplyUpdates:
        if (progressDialog == dialog && ApplyUpdates(dialog)) SetTimer(dialog, kUpdateTimer, kUpdatePeriodMs, nullptr);
        return TRUE;
    case WM_TIMER:
        if (wParam == kUpdateTimer && (progressDialog != dialog || !ApplyUpdates(dialog))) {
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
    DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_PROGRESS), nullptr, ProgressDialogProc, 0);
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

void ForgetAbortOfClosedDialog() {
    if (!progressDialog) abortRequested = false;
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
    Queue([&](PendingUpdates& updates) {
        updates.hasTitle = true;
        updates.title = title;
    });
}

void SetProgressText(int controlId, const char* text) {
    Queue([&](PendingUpdates& updates) { updates.texts[controlId] = text; });
}

void ResetProgressBar(int barId, uint32_t bytes) {
    QueueBar(barId, PBM_SETRANGE, 0, MAKELPARAM(0, ProgressBarUpperBound(bytes)));
    QueueBar(barId, PBM_SETSTEP, 1, 0);
    QueueBar(barId, PBM_SETPOS, 0, 0);
}

void SetProgressBarPosition(int barId, uint32_t position) { QueueBar(barId, PBM_SETPOS, position, 0); }

void StepProgressBar(int barId) { QueueBar(barId, PBM_STEPIT, 0, 0); }
