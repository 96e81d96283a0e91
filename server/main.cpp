// halvorin.exe: registers itself, or serves the Halvorin class until it has been idle.
#include <windows.h>
#include <objbase.h>

#include <string>

#include "server/class_factory.h"
#include "server/command_line.h"
#include "server/registration.h"
#include "server/server_module.h"
#include "common/message_texts.h"
#include "halvorin_idl.h"

namespace {

const char kUsageCaption[] = "Halvorin automation server 1.0";
const char kUsageText[] =
    "\r\n-RegServer   : register the Halvorin interface.\r\n-UnRegServer : unregister the Halvorin interface.";

// The usage text goes to the standard output when the program was given one (its output
// redirected, or inherited from a shell); otherwise, as when started from the desktop, it
// shows a box.
void ShowUsage() {
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    const std::string text = std::string(kUsageCaption) + kUsageText + "\r\n";
    DWORD written = 0;
    if (output != nullptr && output != INVALID_HANDLE_VALUE &&
        WriteFile(output, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) && written == text.size()) {
        return;
    }
    MessageBoxA(nullptr, kUsageText, kUsageCaption, MB_OK);
}

int Serve() {
    server_module::StartShutdownMonitor();  // without it the server simply never ends by itself
    static HalvorinClassFactory factory;
    DWORD cookie = 0;
    CoRegisterClassObject(CLSID_Halvorin, &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie);
    // A server that no client ever reaches (started by hand) ends like any idle one.
    server_module::StartIdleCountdown();
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
    CoRevokeClassObject(cookie);
    Sleep(server_module::kPauseAfterRevokeMilliseconds);
    server_module::Shutdown();
    return 0;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    const char* commandLine = GetCommandLineA();
    CoInitialize(nullptr);
    server_module::Initialize(GetCurrentThreadId());
    const ServerSwitch requested = FindServerSwitch(commandLine);
    LoadMessageTexts(instance);

    int exitCode = 0;
    switch (requested) {
        case ServerSwitch::RegServer:
            exitCode = static_cast<int>(RegisterServer(instance));
            break;
        case ServerSwitch::UnregServer:
            UnregisterServer(instance);
            break;
        case ServerSwitch::Usage:
            ShowUsage();
            break;
        case ServerSwitch::Serve:
            exitCode = Serve();
            break;
    }
    CoUninitialize();
    return exitCode;
}
