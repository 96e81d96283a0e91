// The export Brannock: the web install for setup programs (see brannock.h for what a
// host may rely on). Works out its paths from the library's and the host program's file
// names, makes the library's directory the current directory, copies the host program
// there, reads Config.Ins from there, repairs the server's registration when needed,
// runs the download pass and ends with the install dialog.
#pragma once
#include <windows.h>

LONG RunWebInstall();
