// The engine side of the verification benchmark (run under Wine by run.sh): the patch
// decision over COUNT mandatory files that are all in sync, as PatchNeeded makes it, timed
// by the decision's own "Check took" line. The image is placed in the cache beforehand
// (an image of that many lines is far beyond what one image fetch reads), with each
// file's size and Id taken in a pass before the timed one.
//   verify_bench DIR COUNT LOG    prints "engine MILLISECONDS FILES"
//   verify_bench DIR COUNT -      the same without a log (timed from outside the decision),
//                                 to show what the log lines cost
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "common/win_handles.h"
#include "engine/engine_context.h"
#include "files/file_identity.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: verify_bench DIR COUNT LOG\n");
        return 2;
    }
    const std::string directory = argv[1];
    const int count = atoi(argv[2]);
    EngineContext engine;
    engine.url = "cached.example";
    engine.imagePath = "/image.txt";
    engine.appDirectory = directory;
    auto image = std::make_shared<UpdateImage>();
    image->site = engine.url;
    image->imagePath = engine.imagePath;
    char name[32];
    for (int i = 0; i < count; ++i) {
        snprintf(name, sizeof name, "f%05d.dat", i);
        ImageFileEntry entry;
        entry.localPath = name;
        UniqueHandle file(CreateFileA((directory + "\\" + name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
        if (!file) {
            fprintf(stderr, "verify_bench: cannot open %s\n", name);
            return 1;
        }
        entry.expectedSize = GetFileSize(file.get(), nullptr);
        entry.fileId = ComputeFileId(file.get());
        image->mandatoryFiles.push_back(entry);
    }
    engine.imageHolder.reset(std::move(image));
    const bool logged = std::string(argv[3]) != "-";
    if (logged) {
        DeleteFileA(argv[3]);
        engine.log.SetPath(argv[3]);
    }
    const DWORD start = GetTickCount();
    if (engine.IsPatchNeeded(1, 1) != 0) {
        fprintf(stderr, "verify_bench: the decision found something out of sync\n");
        return 1;
    }
    if (!logged) {
        printf("engine %lu %d\n", static_cast<unsigned long>(GetTickCount() - start), count);
        return 0;
    }
    FILE* log = fopen(argv[3], "rb");
    if (!log) return 1;
    std::string text;
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, log)) > 0) text.append(buffer, n);
    fclose(log);
    const size_t at = text.rfind("\r\nCheck took ");
    if (at == std::string::npos) return 1;
    printf("engine %lu %d\n", strtoul(text.c_str() + at + 13, nullptr, 10), count);
    return 0;
}
