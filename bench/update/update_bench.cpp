// The engine's side of the update benchmark (run under Wine by run.sh): hands an
// installation over to the engine with StartPatch, as an application does, and waits
// until the engine's log says the run has ended. Prints "update SECONDS" from the call to
// that line, and the run's outcome.
//   update_bench SITE APP_DIRECTORY DOWNLOAD_DIRECTORY LOG FROM TO
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/bstr.h"
#include "common/com_ptr.h"
#include "halvorin_idl.h"

namespace {

std::string ReadText(const char* path) {
    std::string text;
    FILE* file = fopen(path, "rb");
    if (!file) return text;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
    fclose(file);
    return text;
}

double Now() {
    LARGE_INTEGER frequency, counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 7) {
        fprintf(stderr, "usage: update_bench SITE APP_DIRECTORY DOWNLOAD_DIRECTORY LOG FROM TO\n");
        return 2;
    }
    CoInitialize(nullptr);
    int code = 1;
    {
        ComPtr<IHalvorin> engine;
        if (SUCCEEDED(CoCreateInstance(CLSID_Halvorin, nullptr, CLSCTX_LOCAL_SERVER, IID_IHalvorin,
                                       engine.ReceiveVoid()))) {
            engine->put_appID(Bstr("UpdateBench"));
            engine->put_url(Bstr(argv[1]));
            engine->put_imagePath(Bstr("/image.txt"));
            engine->put_appDirectory(Bstr(argv[2]));
            engine->put_downloadDirectory(Bstr(argv[3]));
            engine->put_logFile(Bstr(argv[4]));
            const double start = Now();
            // The client the engine starts again does nothing.
            if (SUCCEEDED(engine->StartPatch(0, Bstr("cmd.exe /c rem"), Bstr(""), Bstr("ok"), Bstr("failed"),
                                             atol(argv[5]), atol(argv[6])))) {
                for (int i = 0; i < 60000; ++i) {
                    const std::string log = ReadText(argv[4]);
                    if (log.find("\r\nPatch process ") != std::string::npos) {
                        const bool ok = log.find("\r\nPatch process successful.") != std::string::npos;
                        printf("update %.3f %s\n", Now() - start, ok ? "successful" : "failed");
                        code = ok ? 0 : 1;
                        break;
                    }
                    Sleep(20);
                }
            }
        }
    }
    CoUninitialize();
    return code;
}
