// Ids of the test copy of the progress dialog template (shared by the .rc and the code).
#pragma once
#define TEST_PROGRESS_DIALOG 103
#define TEST_STATUS_LINE 203
#define TEST_FILE_LABEL 211
#define TEST_TOTAL_BAR 202
#define TEST_TOTAL_LABEL 212
#define TEST_FILE_FIGURES 204
#define TEST_TOTAL_FIGURES 205
#define TEST_CANCEL_BUTTON 206
#define TEST_FILE_BAR 209
