#include "brannock/install_dialog.h"

#include <commctrl.h>

#include <cstdint>

#include "brannock/brannock.h"
#include "brannock/install_progress.h"
#include "brannock/library_module.h"
#include "brannock/resource_ids.h"
#include "patchlib/patchw32.h"

namespace {

constexpr size_t kAnswerSize = 1024;
constexpr int kTextSize = 260;

// The library sees only whether the answer is null; the block itself lives as long as
// Brannock does, and Cancel or an invalid patch file drop the pointer for good.
char answerBlock[kAnswerSize];
char* answerBuffer = answerBlock;

HWND dialogWindow = nullptr;
bool startPending = false;
LONG dialogResult = BRANNOCK_INSTALLED;
InstallProgress progress;

void WriteDebugText(const char* text) { OutputDebugStringA(text); }

void LoadText(UINT id, char (&text)[kTextSize]) {
    if (LoadStringA(BrannockModule(), id, text, kTextSize) <= 0) text[0] = '\0';
}

void Repaint() {
    InvalidateRect(dialogWindow, nullptr, FALSE);
    UpdateWindow(dialogWindow);
}

// One waiting message at most, so that the dialog answers while the patch runs on its
// thread. A quit request is left in the queue for the host's own loop.
void PumpOneMessage() {
    MSG message;
    if (!PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE) || message.message == WM_QUIT) return;
    if (!PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) return;
    if (IsDialogMessageA(dialogWindow, &message)) return;
    if (TranslateAcceleratorA(dialogWindow, nullptr, &message)) return;
    TranslateMessage(&message);
    DispatchMessageA(&message);
}

void Show(const ProgressView& view) {
    if (view.setBars) {
        SendDlgItemMessageA(dialogWindow, IDC_INSTALL_FILE_BAR, PBM_SETPOS, view.fileBar, 0);
        SendDlgItemMessageA(dialogWindow, IDC_INSTALL_OVERALL_BAR, PBM_SETPOS, static_cast<WPARAM>(view.overallBar), 0);
    }
    if (view.repaint) Repaint();
}

void* __stdcall InstallCallback(uint32_t id, void* parameter) {
    char text[kDebugTextSize];
    const char* parameterText = parameter ? static_cast<const char*>(parameter) : "";
    switch (id) {
    case 5: {
        const uint16_t value = parameter ? *static_cast<const uint16_t*>(parameter) : 0;
        FormatDebugText(text, DebugFormatOf(id), static_cast<unsigned>(value));
        WriteDebugText(text);
        FormatDebugText(text, kFilePercentFormat, FilePercent(value));
        WriteDebugText(text);
        if (dialogWindow) {
            Show(progress.FileProgress(value, true));
            PumpOneMessage();
        }
        break;
    }
    case 6: {
        const int32_t count = parameter ? *static_cast<const int32_t*>(parameter) : 0;
        FormatDebugText(text, DebugFormatOf(id), static_cast<long>(count));
        WriteDebugText(text);
        progress.FileCount(count);
        break;
    }
    case 7:
        FormatDebugText(text, DebugFormatOf(id), parameterText);
        WriteDebugText(text);
        if (dialogWindow) {
            SendDlgItemMessageA(dialogWindow, IDC_INSTALL_FILE_BAR, PBM_SETPOS, 0, 0);
            SetDlgItemTextA(dialogWindow, IDC_INSTALL_FILE_NAME, parameterText);
            Repaint();
            PumpOneMessage();
        }
        break;
    case 8: {
        FormatDebugText(text, DebugFormatOf(id));
        WriteDebugText(text);
        const ProgressView view = progress.FileDone(dialogWindow != nullptr);
        FormatDebugText(text, kOverallFormat, static_cast<double>(progress.overall()));
        WriteDebugText(text);
        if (dialogWindow) {
            Show(view);
            PumpOneMessage();
        }
        break;
    }
    case 14:
        FormatDebugText(text, DebugFormatOf(id));
        WriteDebugText(text);
        answerBuffer = nullptr;
        break;
    case 21:
        FormatDebugText(text, DebugFormatOf(id));
        WriteDebugText(text);
        if (dialogWindow) PumpOneMessage();
        break;
    default:
        // The texts of the ids without a text parameter take none; the extra argument
        // is not read.
        FormatDebugText(text, DebugFormatOf(id), parameterText);
        WriteDebugText(text);
        break;
    }
    // Read after the pumping: a Cancel handled just now stops the library here.
    return answerBuffer;
}

void StartPatch() {
    const uint32_t code = RTPatchApply32("install.rtp", InstallCallback, 1);
    dialogResult = code == 0 ? BRANNOCK_INSTALLED : BRANNOCK_PATCH_FAILED;
    // After a Cancel the window is forgotten and the dialog ends with 8.
    if (dialogWindow) SendMessageA(dialogWindow, WM_COMMAND, IDOK, 0);
}

void InitDialog(HWND dialog) {
    dialogWindow = dialog;
    startPending = true;
    SendDlgItemMessageA(dialog, IDC_INSTALL_FILE_BAR, PBM_SETRANGE, 0, MAKELPARAM(0, kFileComplete));
    SendDlgItemMessageA(dialog, IDC_INSTALL_OVERALL_BAR, PBM_SETRANGE, 0, MAKELPARAM(0, kOverallBarMax));
    char text[kTextSize];
    LoadText(IDS_INSTALL_STATUS, text);
    SetDlgItemTextA(dialog, IDC_INSTALL_STATUS, text);
    LoadText(IDS_INSTALL_CANCEL, text);
    SetDlgItemTextA(dialog, IDC_INSTALL_CANCEL, text);
    LoadText(IDS_INSTALL_TITLE, text);
    SetWindowTextA(dialog, text);
    RECT client = {};
    GetClientRect(dialog, &client);
    const int x = (GetSystemMetrics(SM_CXSCREEN) - (client.right - client.left)) / 2;
    const int y = (GetSystemMetrics(SM_CYSCREEN) - (client.bottom - client.top)) / 2;
    SetWindowPos(dialog, HWND_TOPMOST, x, y, 0, 0, SWP_NOSIZE);
}

INT_PTR CALLBACK InstallDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        InitDialog(dialog);
        return TRUE;
    case WM_PAINT: {
        PAINTSTRUCT paint;
        BeginPaint(dialog, &paint);
        EndPaint(dialog, &paint);
        // Cleared first: the patch pumps messages, and a nested paint must not start it again.
        if (startPending) {
            startPending = false;
            StartPatch();
        }
        return TRUE;
    }
    case WM_COMMAND:
        if (wParam == IDOK) {
            EndDialog(dialog, dialogResult);
            return TRUE;
        }
        if (wParam == IDCANCEL) {
            dialogWindow = nullptr;
            answerBuffer = nullptr;
            EndDialog(dialog, BRANNOCK_CANCELLED);
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}

}  // namespace

LONG RunInstallDialog() {
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    const INT_PTR result =
        DialogBoxParamA(BrannockModule(), MAKEINTRESOURCEA(IDD_INSTALL), nullptr, InstallDialogProc, 0);
    dialogWindow = nullptr;
    return static_cast<LONG>(result);
}
