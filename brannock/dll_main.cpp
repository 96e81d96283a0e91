// Entry of Brannock.dll and its two exports (ordinals in the .def files).
#include <windows.h>

#include "brannock/brannock.h"
#include "brannock/brannock_export.h"
#include "brannock/install_dialog.h"
#include "brannock/library_module.h"

namespace {
HINSTANCE libraryModule = nullptr;
}  // namespace

HINSTANCE BrannockModule() { return libraryModule; }

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        libraryModule = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

extern "C" LONG WINAPI Install() { return RunInstallDialog(); }

extern "C" LONG WINAPI Brannock() { return RunWebInstall(); }
