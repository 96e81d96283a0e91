// The process-wide progress dialog: one window with a status line, a bar and figures for
// the current file, a bar and figures for the whole phase, and a Cancel button, run by a
// thread of its own from dialog template 103 of the program's resources. Working threads
// write into it through the functions below and learn of a Cancel through abortRequested.
#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>

// The dialog window while it is open; null otherwise. Set when the dialog initialises,
// cleared when it receives the close request.
extern std::atomic<HWND> progressDialog;
// Set by Cancel and by closing the dialog; cleared when a dialog initialises. Read by
// the transfers after every block.
extern std::atomic<bool> abortRequested;

// Bars count blocks of this many bytes.
constexpr uint32_t kProgressBlockSize = 16384;

// Upper bound of a bar for the given number of bytes: bytes / 16384 + 1, kept to the
// low 16 bits of the platform's bar range (65535 blocks, just under 1 GiB, or more wrap).
inline uint16_t ProgressBarUpperBound(uint32_t bytes) {
    return static_cast<uint16_t>(bytes / kProgressBlockSize + 1);
}

// Opens the dialog, or reuses the one that is open, and brings it to the foreground.
// Starts the dialog thread when none runs; when the previous dialog is still closing,
// waits for its thread to end and starts a new one. Returns false, without waiting any
// longer, when the dialog could not be created (its template missing from the program):
// the caller then works without a dialog, every write below being ignored.
bool OpenProgressDialog();

// True while a dialog thread runs (its window may be opening, open or closing).
bool ProgressDialogThreadRunning();

// Returns when the dialog has applied every write queued so far.
void FlushProgressDialog();

// Sends the close request to the dialog, if one is open, and returns when the dialog has
// handled it. Sets abortRequested, as every close does, and cancels every operation that
// uses the dialog.
void CloseProgressDialog();

// Cancels every operation that uses the dialog now: its Cancel button does this.
void CancelProgressOperations();

// One operation's use of the shared dialog (a patch run, a module download, the engine's
// own files). Several operations of the process may show their progress in the one dialog
// at the same time. Its Cancel button, or a close request from anyone but the operations
// themselves, cancels every operation that uses the dialog at that moment, and only
// those. An operation that ends leaves the dialog and the last one to leave closes it, so
// the end of one operation never cancels another.
class ProgressOperation {
public:
    ProgressOperation() = default;
    ~ProgressOperation() { Leave(); }
    ProgressOperation(const ProgressOperation&) = delete;
    ProgressOperation& operator=(const ProgressOperation&) = delete;

    // Opens the dialog or joins the one that is open, and brings it to the foreground.
    // False when no dialog can be shown (OpenProgressDialog): nothing can cancel the
    // operation then.
    bool Join();
    // Leaves the dialog, which closes when no other operation uses it. Does nothing when
    // the operation has not joined.
    void Leave();
    // Set by a Cancel while the operation uses the dialog; it stays set.
    const std::atomic<bool>& cancelled() const { return cancelled_; }

private:
    friend void CancelProgressOperations();
    std::atomic<bool> cancelled_{false};
    bool joined_ = false;
};

// Writes into the open dialog; each does nothing when no dialog is open. They are kept
// per control and the dialog thread applies them shortly after, at most about 30 times a
// second: per text the latest, per bar the state that its operations in order lead to. A
// busy dialog skips states that were already overtaken, never shows one out of order, and
// a writer never waits for painting. All writes to the dialog go through these functions.
void SetProgressTitle(const char* title);
void SetProgressText(int controlId, const char* text);  // 203, 204 or 205; others ignored
// Text control controlId shows FormatMessageText(textId, first, second). The dialog formats
// it when it shows it, so a writer may give figures for every block at no cost.
void SetProgressFigures(int controlId, int textId, double first, double second);
// Bars 209 and 202: range 0 to ProgressBarUpperBound(bytes), step 1, position 0.
void ResetProgressBar(int barId, uint32_t bytes);
void SetProgressBarPosition(int barId, uint32_t position);
void StepProgressBar(int barId);
