// The demonstration's sample application, built once per release (SAMPLE_RELEASE). It
// shows its release in a window for a moment and notes each start in history.txt beside
// itself; then, as an application that keeps itself up to date would, it asks the engine
// whether an update to the newest release is needed and, when it is, hands over with
// StartPatch and ends. Started again by the engine (with /updated or /update-failed), it
// writes the engine's error report beside itself and ends.
//   app.exe --site HOST --latest VERSION [/updated | /update-failed]
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/bstr.h"
#include "common/com_ptr.h"
#include "halvorin_idl.h"

#ifndef SAMPLE_RELEASE
#error SAMPLE_RELEASE names the release
#endif

namespace {

const char kAppId[] = "HalvorinSample";

std::string ProgramPath() {
    char path[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, path, sizeof path);
    return path;
}

std::string Directory() {
    const std::string path = ProgramPath();
    return path.substr(0, path.find_last_of("\\/"));
}

void Note(const std::string& text) {
    FILE* history = fopen((Directory() + "\\history.txt").c_str(), "ab");
    if (!history) return;
    fprintf(history, "%s\r\n", text.c_str());
    fclose(history);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TIMER) DestroyWindow(window);
    if (message == WM_DESTROY) PostQuitMessage(0);
    return DefWindowProcA(window, message, wParam, lParam);
}

// A window with the release in it, for a second and a half.
void ShowRelease() {
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = "HalvorinSampleWindow";
    RegisterClassA(&windowClass);
    const std::string title = "Sample application, release " + std::to_string(SAMPLE_RELEASE);
    HWND window = CreateWindowA(windowClass.lpszClassName, title.c_str(), WS_OVERLAPPED | WS_CAPTION | WS_VISIBLE, 40,
                                40, 360, 120, nullptr, nullptr, windowClass.hInstance, nullptr);
    CreateWindowA("STATIC", title.c_str(), WS_CHILD | WS_VISIBLE | SS_CENTER, 10, 30, 330, 20, window, nullptr,
                  windowClass.hInstance, nullptr);
    SetTimer(window, 1, 1500, nullptr);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
}

ComPtr<IHalvorin> Engine(const std::string& site) {
    ComPtr<IHalvorin> engine;
    if (FAILED(CoCreateInstance(CLSID_Halvorin, nullptr, CLSCTX_LOCAL_SERVER, IID_IHalvorin, engine.ReceiveVoid()))) {
        Note("the engine cannot be created");
        return engine;
    }
    const std::string directory = Directory();
    engine->put_appID(Bstr(kAppId));
    engine->put_url(Bstr(site));
    engine->put_imagePath(Bstr("/image.txt"));
    engine->put_appDirectory(Bstr(directory));
    engine->put_downloadDirectory(Bstr(directory + "\\download"));
    engine->put_logFile(Bstr(directory + "\\update.log"));
    // The publisher's key ships with the application: with it, the engine takes only
    // what the publisher signed.
    char key[256] = "";
    FILE* keyFile = fopen((directory + "\\publisher.key").c_str(), "rb");
    if (keyFile) {
        const size_t read = fread(key, 1, sizeof key - 1, keyFile);  // a key line is 142 characters
        key[read] = '\0';
        fclose(keyFile);
        ComPtr<IHalvorin2> signedOnly;
        if (FAILED(engine->QueryInterface(IID_IHalvorin2, signedOnly.ReceiveVoid())) ||
            FAILED(signedOnly->put_publisherKey(Bstr(key)))) {
            Note("the publisher key cannot be set");
            return ComPtr<IHalvorin>();
        }
    }
    return engine;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    std::string site;
    long latest = SAMPLE_RELEASE;
    std::string outcome;
    for (int i = 1; i < __argc; ++i) {
        if (strcmp(__argv[i], "--site") == 0 && i + 1 < __argc) site = __argv[++i];
        else if (strcmp(__argv[i], "--latest") == 0 && i + 1 < __argc) latest = atol(__argv[++i]);
        else if (__argv[i][0] == '/') outcome = __argv[i];
    }
    Note("release " + std::to_string(SAMPLE_RELEASE) + " started" + (outcome.empty() ? "" : " with " + outcome));
    if (site.empty()) {
        ShowRelease();
        return 0;
    }
    CoInitialize(nullptr);
    ComPtr<IHalvorin> engine = Engine(site);
    if (!outcome.empty()) {
        // Started again by the engine: first the report of the run it has just finished,
        // while the engine still holds it.
        if (engine) engine->WriteErrorReport(Bstr(Directory() + "\\report.txt"));
        ShowRelease();
    } else if (engine) {
        ShowRelease();
        LONG needed = 0;
        engine->PatchNeeded(SAMPLE_RELEASE, latest, &needed);
        if (needed) {
            const std::string command = "\"" + ProgramPath() + "\" --site " + site + " --latest " + std::to_string(latest);
            const HRESULT started = engine->StartPatch(static_cast<LONG>(GetCurrentProcessId()), Bstr(command),
                                                       Bstr(Directory()), Bstr("/updated"), Bstr("/update-failed"),
                                                       SAMPLE_RELEASE, latest);
            Note(SUCCEEDED(started) ? "update to release " + std::to_string(latest) + " handed to the engine"
                                    : "the engine refused the update");
        } else {
            Note("up to date");
        }
    }
    engine = ComPtr<IHalvorin>();
    CoUninitialize();
    return 0;
}
