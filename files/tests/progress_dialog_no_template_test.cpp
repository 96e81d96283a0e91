// The progress dialog in a program that lacks its template (built without the engine's
// resources): opening must give up at once instead of waiting for a window that never comes.
#include <gtest/gtest.h>
#include <windows.h>

#include "files/progress_dialog.h"
#include "common/resource_ids.h"

TEST(ProgressDialogWithoutTemplate, OpeningGivesUpAndWritesAreIgnored) {
    ASSERT_EQ(nullptr, FindResourceA(nullptr, MAKEINTRESOURCEA(IDD_PROGRESS), MAKEINTRESOURCEA(5)))
        << "this program must be built without the dialog template";
    for (int attempt = 0; attempt < 2; ++attempt) {
        const DWORD start = GetTickCount();
        EXPECT_FALSE(OpenProgressDialog());
        EXPECT_LT(GetTickCount() - start, 5000u);
        EXPECT_EQ(nullptr, progressDialog.load());
        EXPECT_FALSE(ProgressDialogThreadRunning());
    }
    SetProgressTitle("title");
    SetProgressText(IDC_PROGRESS_STATUS, "status");
    ResetProgressBar(IDC_PROGRESS_FILE_BAR, 40000);
    StepProgressBar(IDC_PROGRESS_FILE_BAR);
    CloseProgressDialog();
    EXPECT_EQ(nullptr, progressDialog.load());
}
