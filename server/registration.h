// Registration of the server: its registry scripts and its type library.
#pragma once
#include <windows.h>

// Writes the application, class and ProgID entries and registers the type library.
// Returns S_OK or the failure of the class entries or of the type library.
HRESULT RegisterServer(HMODULE module);

// Removes what RegisterServer wrote (shared keys stay). Never fails towards the caller.
void UnregisterServer(HMODULE module);
