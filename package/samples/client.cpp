// The shortest complete update loop of an application that keeps itself up to date with
// Halvorin: ask whether the site has something newer, hand over to the engine and end,
// be started again by the engine, and know the new version. The application's own
// version is the number in version.txt beside it (a file of every release).
//
// Build from the package's folder:
//   mingw: x86_64-w64-mingw32-g++ -O2 -static -Iinclude samples/client.cpp include/halvorin_i.c
//            -lole32 -loleaut32 -luuid -o client.exe      (i686-w64-mingw32-g++ for 32 bits)
//   MSVC:  cl /EHsc /Iinclude samples\client.cpp include\halvorin_i.c ole32.lib oleaut32.lib
// Run it from the application's folder:  client.exe SITE IMAGE_PATH
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "halvorin.h"

namespace {

std::string Folder() {
    char path[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder = path;
    return folder.substr(0, folder.find_last_of('\\'));
}

int InstalledVersion(const std::string& folder) {
    FILE* file = fopen((folder + "\\version.txt").c_str(), "r");
    int version = 0;
    if (file) {
        if (fscanf(file, "%d", &version) != 1) version = 0;
        fclose(file);
    }
    return version;
}

// Automation strings are UTF-16; the engine keeps 255 characters of each.
BSTR Text(const std::string& text) {
    std::wstring wide(text.size() + 1, L'\0');
    const int length = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &wide[0], static_cast<int>(wide.size()));
    return SysAllocString(length > 0 ? wide.c_str() : L"");
}

std::string Narrow(BSTR text) {
    std::string narrow;
    if (text) {
        const int length = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
        narrow.resize(length > 0 ? length - 1 : 0);
        if (length > 1) WideCharToMultiByte(CP_ACP, 0, text, -1, &narrow[0], length, nullptr, nullptr);
    }
    SysFreeString(text);
    return narrow;
}

void Put(IHalvorin2* engine, HRESULT (STDMETHODCALLTYPE IHalvorin::*setter)(BSTR), const std::string& value) {
    BSTR text = Text(value);
    (engine->*setter)(text);
    SysFreeString(text);
}

// Says it on the console and in result.txt (a process the engine starts has no console).
void Say(const std::string& folder, const std::string& text) {
    printf("%s\n", text.c_str());
    FILE* file = fopen((folder + "\\result.txt").c_str(), "a");
    if (file) {
        fprintf(file, "%s\n", text.c_str());
        fclose(file);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        printf("usage: client.exe SITE IMAGE_PATH\n");
        return 2;
    }
    const std::string folder = Folder();
    const std::string relaunch = argc > 3 ? argv[3] : "";
    CoInitialize(nullptr);
    IHalvorin2* engine = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_Halvorin, nullptr, CLSCTX_LOCAL_SERVER, IID_IHalvorin2,
                                  reinterpret_cast<void**>(&engine));
    if (FAILED(hr)) {
        printf("the engine cannot be created (0x%08lx): register it with halvorin.exe -RegServer\n",
               static_cast<unsigned long>(hr));
        return 1;
    }
    Put(engine, &IHalvorin::put_appID, "SampleClient");  // first: the other members need it
    Put(engine, &IHalvorin::put_url, argv[1]);
    Put(engine, &IHalvorin::put_imagePath, argv[2]);
    Put(engine, &IHalvorin::put_appDirectory, folder);
    Put(engine, &IHalvorin::put_downloadDirectory, folder + "\\download");
    Put(engine, &IHalvorin::put_logFile, folder + "\\update.log");
    engine->put_silent(VARIANT_TRUE);  // no boxes: this client tells its user itself

    int status = 0;
    const int version = InstalledVersion(folder);
    LONG latest = 0;
    BSTR why = nullptr;
    if (relaunch == "/updated" || relaunch == "/failed") {
        // Started again by the engine: the parameters say how the update went.
        engine->get_latestVersion(&latest);
        Say(folder, (relaunch == "/updated" ? "updated: version " : "update failed: still version ") +
                        std::to_string(version) + ", the site's newest is " + std::to_string(latest));
        if (relaunch == "/failed") Put(engine, &IHalvorin::WriteErrorReport, folder + "\\report.txt");
    } else if (FAILED(engine->get_latestVersion(&latest))) {
        engine->get_lastError(&why);
        Say(folder, "cannot learn the newest version: " + Narrow(why));
        status = 1;
    } else {
        LONG needed = 0;
        engine->PatchNeeded(version, latest, &needed);
        if (needed == 0) {
            Say(folder, "up to date: version " + std::to_string(version));
        } else {
            // The engine waits for this process to end, updates, and starts this command
            // line again with /updated or /failed after it.
            const std::string self = "\"" + folder + "\\client.exe\" " + argv[1] + " " + argv[2];
            BSTR command = Text(self), directory = Text(folder), ok = Text("/updated"), failed = Text("/failed");
            hr = engine->StartPatch(static_cast<LONG>(GetCurrentProcessId()), command, directory, ok, failed, version,
                                    latest);
            SysFreeString(command), SysFreeString(directory), SysFreeString(ok), SysFreeString(failed);
            if (FAILED(hr)) {
                engine->get_lastError(&why);
                Say(folder, "the update could not start: " + Narrow(why));
                status = 1;
            } else {
                Say(folder, "handed over: version " + std::to_string(version) + " to " + std::to_string(latest));
            }
        }
    }
    engine->Release();
    CoUninitialize();
    return status;
}
