// Resource ids of Brannock.dll: the install dialog template, its controls and texts.
#pragma once

#define IDD_INSTALL 129

#define IDC_INSTALL_CANCEL 2
#define IDC_INSTALL_FILE_BAR 1000
#define IDC_INSTALL_OVERALL_BAR 1001
#define IDC_INSTALL_FILE_NAME 1002
#define IDC_INSTALL_STATUS 1003

#define IDS_INSTALL_TITLE 114
#define IDS_INSTALL_STATUS 115
#define IDS_INSTALL_CANCEL 116
