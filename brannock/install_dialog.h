// The install dialog: applies "install.rtp" from the current directory through the patch
// library (ordinal 1 of patchw32.dll) while a modal dialog (template 129) shows the
// current file and two bars. The patch starts at the dialog's first paint and runs on the
// caller's thread; the library's callback keeps the dialog alive by handing it one window
// message at a time, which is how Cancel arrives.
//
// Library-wide state, not locked: two installs at once in one process are not supported.
// Cancel, and a patch file that the library finds invalid, drop the answer that lets the
// library go on; from then on, while the library stays loaded, every install stops at the
// library's first message and ends with 3.
#pragma once
#include <windows.h>

// 0 installed, 3 the patch library failed, 8 cancelled, -1 the dialog was not created.
LONG RunInstallDialog();
