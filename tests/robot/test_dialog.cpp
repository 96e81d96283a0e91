#include "test_dialog.h"

#include <commctrl.h>

#include <algorithm>

#include "test_dialog_ids.h"

namespace robottest {

namespace {

struct DialogContext {
    const DialogParams* params;
    DialogRecord* record;
};

void SetBar(HWND dialog, int id, int high, int pos, int step) {
    HWND bar = GetDlgItem(dialog, id);
    // The 16-bit range message, as the engine sends it.
    SendMessageA(bar, PBM_SETRANGE, 0, MAKELPARAM(0, high));
    SendMessageA(bar, PBM_SETSTEP, step, 0);
    SendMessageA(bar, PBM_SETPOS, pos, 0);
}

INT_PTR CALLBACK TestDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* context = reinterpret_cast<DialogContext*>(GetWindowLongPtrA(dialog, DWLP_USER));
    switch (message) {
    case WM_INITDIALOG: {
        context = reinterpret_cast<DialogContext*>(lParam);
        SetWindowLongPtrA(dialog, DWLP_USER, lParam);
        const DialogParams& p = *context->params;
        SetWindowTextA(dialog, p.title.c_str());
        SetDlgItemTextA(dialog, TEST_STATUS_LINE, p.status.c_str());
        SetDlgItemTextA(dialog, TEST_FILE_LABEL, p.fileLabel.c_str());
        SetDlgItemTextA(dialog, TEST_FILE_FIGURES, p.fileFigures.c_str());
        SetDlgItemTextA(dialog, TEST_TOTAL_LABEL, p.totalLabel.c_str());
        SetDlgItemTextA(dialog, TEST_TOTAL_FIGURES, p.totalFigures.c_str());
        SetBar(dialog, TEST_FILE_BAR, p.fileHigh, p.filePos, p.fileStep);
        SetBar(dialog, TEST_TOTAL_BAR, p.totalHigh, p.totalPos, p.totalStep);
        SetWindowPos(dialog, p.topmost ? HWND_TOPMOST : HWND_TOP, p.left, p.top, 0, 0, SWP_NOSIZE);
        context->record->window = dialog;
        return FALSE;  // no focus set, as in the engine's dialog
    }
    case WM_COMMAND:
        if (!context) return FALSE;
        if (LOWORD(wParam) == TEST_CANCEL_BUTTON) ++context->record->cancelClicks;
        if (LOWORD(wParam) == IDOK) ++context->record->okCommands;
        if (LOWORD(wParam) == IDCANCEL) ++context->record->cancelCommands;
        return FALSE;
    case WM_CLOSE:
        if (context) {
            ++context->record->closeRequests;
            context->record->window = nullptr;
        }
        EndDialog(dialog, 1);
        return TRUE;
    default:
        return FALSE;
    }
}

}  // namespace

DialogParams StandardDialogParams() {
    DialogParams p;
    p.title = "Robot T\xE9l\xE9" "chargement";  // ANSI (1252) e-acute, as the engine's French texts
    p.status = "Downloading file: patch1.rtp";
    p.fileLabel = "This file:";
    p.fileFigures = "0.02 / 0.04M   <resuming>";
    p.totalLabel = "Total:";
    p.totalFigures = "12.34 / 56.78M";
    p.fileHigh = 3;
    p.filePos = 2;
    p.fileStep = 1;
    p.totalHigh = 65535;  // the widest 16-bit range
    p.totalPos = 40000;
    p.totalStep = 7;
    p.left = 120;
    p.top = 90;
    return p;
}

INT_PTR RunTestDialog(const DialogParams& params, DialogRecord* record) {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    DialogContext context{&params, record};
    return DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(TEST_PROGRESS_DIALOG), nullptr,
                           TestDialogProc, reinterpret_cast<LPARAM>(&context));
}

int EncodeDialogOutcome(const DialogRecord& record, INT_PTR result) {
    auto capped = [](int n) { return std::min(n, 3); };
    return capped(record.cancelClicks) | capped(record.okCommands) << 2 | capped(record.cancelCommands) << 4 |
           (result == 1 ? 1 << 6 : 0);
}

}  // namespace robottest
