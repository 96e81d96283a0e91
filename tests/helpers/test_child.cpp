// A small program that tests start as a real second process:
//   test_child sleep MS [MARKER]      sleeps, then writes its current directory into MARKER
//   test_child hold FILE EVENT        opens FILE with no sharing, sets the named event, waits to be killed
//   test_child exit CODE              exits with CODE at once
//   test_child record FILE [...]      writes its command line and current directory into FILE
//                                     (a client that the engine starts again)
//   test_child                        (as a command the engine starts, without arguments)
//                                     appends one line to runs.log in its current directory
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    if (argc == 1) {
        FILE* runs = fopen("runs.log", "ab");
        if (!runs) return 3;
        fputs("run\n", runs);
        fclose(runs);
        return 0;
    }
    if (argc >= 3 && strcmp(argv[1], "sleep") == 0) {
        Sleep(static_cast<DWORD>(atoi(argv[2])));
        if (argc >= 4) {
            char directory[MAX_PATH] = "";
            GetCurrentDirectoryA(sizeof(directory), directory);
            FILE* marker = fopen(argv[3], "wb");
            if (!marker) return 3;
            fputs(directory, marker);
            fclose(marker);
        }
        return 0;
    }
    if (argc >= 4 && strcmp(argv[1], "hold") == 0) {
        HANDLE file = CreateFileA(argv[2], GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) return 4;
        HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[3]);
        if (!ready) return 5;
        SetEvent(ready);
        CloseHandle(ready);
        Sleep(INFINITE);  // the test ends this process, which closes the file
        return 0;
    }
    if (argc >= 3 && strcmp(argv[1], "exit") == 0) return atoi(argv[2]);
    if (argc >= 3 && strcmp(argv[1], "record") == 0) {
        char directory[MAX_PATH] = "";
        GetCurrentDirectoryA(sizeof(directory), directory);
        // Written aside and renamed, so that a reader never sees half of it.
        const std::string part = std::string(argv[2]) + ".part";
        FILE* record = fopen(part.c_str(), "wb");
        if (!record) return 3;
        fprintf(record, "%s\n%s\n", GetCommandLineA(), directory);
        fclose(record);
        return MoveFileExA(part.c_str(), argv[2], MOVEFILE_REPLACE_EXISTING) ? 0 : 3;
    }
    fprintf(stderr, "usage: test_child sleep MS [MARKER] | hold FILE EVENT | exit CODE\n");
    return 2;
}
