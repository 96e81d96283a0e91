// The module handle of Brannock.dll, remembered when the library is attached to a process:
// the dialog template, the string table and the library's own path come from it.
#pragma once
#include <windows.h>

HINSTANCE BrannockModule();
