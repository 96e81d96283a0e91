// A second client process for the lifetime tests: creates one Halvorin object, writes the
// server's process id into a file, signals that it holds the object, and releases it when
// told to.
//   lifetime_client.exe <pid file> <ready event> <release event>
// Exit codes: 0 done, 2 bad arguments, 3 no object, 4 no process id, 5 never told to release.
#include <windows.h>
#include <objbase.h>

#include <cstdio>

#include "halvorin_idl.h"

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[2]);
    HANDLE release = OpenEventA(SYNCHRONIZE, FALSE, argv[3]);
    if (ready == nullptr || release == nullptr) return 2;

    CoInitialize(nullptr);
    int code = 0;
    IHalvorin* engine = nullptr;
    if (FAILED(CoCreateInstance(CLSID_Halvorin, nullptr, CLSCTX_LOCAL_SERVER, IID_IHalvorin,
                                reinterpret_cast<void**>(&engine)))) {
        code = 3;
    } else {
        LONG serverId = 0;
        FILE* file = nullptr;
        if (FAILED(engine->get_processID(&serverId)) || (file = std::fopen(argv[1], "w")) == nullptr) {
            code = 4;
        } else {
            std::fprintf(file, "%ld\n", static_cast<long>(serverId));
            std::fclose(file);
            SetEvent(ready);
            if (WaitForSingleObject(release, 120000) != WAIT_OBJECT_0) code = 5;
        }
        engine->Release();
    }
    CoUninitialize();
    CloseHandle(ready);
    CloseHandle(release);
    return code;
}
