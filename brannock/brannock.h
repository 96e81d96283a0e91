/* Brannock.dll, as a setup program sees it: two exports by ordinal, each without
   arguments, with a 32-bit result and the standard calling convention. Both run on the
   caller's thread and return when everything, the install dialog included, is done.

   1 Install   applies "install.rtp" in the current directory through patchw32.dll in a
               modal dialog with the progress of every file. Result 0 installed, 3 the
               patch library failed (also every later call in a process in which a patch
               was cancelled or found invalid, until the library is loaded again),
               8 cancelled, -1 the dialog could not be shown.
   2 Brannock  sets the current directory to the library's directory for good, reads
               Config.Ins there, makes sure the Halvorin server can be created
               (registering it when it cannot), lets it upgrade itself when it says so,
               has it download the module "Install" into the library's directory and
               then runs Install. Result 5 Config.Ins cannot be opened, 6 it has fewer
               than three lines, 1 the server could not be created, 2 the download
               failed, otherwise the result of Install. It shows no message of its own. */
#ifndef BRANNOCK_BRANNOCK_H
#define BRANNOCK_BRANNOCK_H

#include <windows.h>

#define BRANNOCK_INSTALL_ORDINAL 1
#define BRANNOCK_BRANNOCK_ORDINAL 2

#define BRANNOCK_INSTALLED 0
#define BRANNOCK_PATCH_FAILED 3
#define BRANNOCK_CANCELLED 8
#define BRANNOCK_NO_DIALOG (-1)
#define BRANNOCK_NO_SERVER 1
#define BRANNOCK_DOWNLOAD_FAILED 2
#define BRANNOCK_NO_CONFIG 5
#define BRANNOCK_SHORT_CONFIG 6

typedef LONG(WINAPI* BrannockExport)(void);

#endif
