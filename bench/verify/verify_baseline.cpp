// Baseline of the verification benchmark, built natively and for Windows from this one
// source: for every file, open it, read the same sample (at most 64 KiB) and compute the
// same checksum as the engine's file Id, nothing else. Prints "baseline MILLISECONDS FILES".
//   verify_baseline DIR COUNT     files DIR/f00000.dat ... in order
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/file_id.h"
#include "tools/site/file_facts.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: verify_baseline DIR COUNT\n");
        return 2;
    }
    const std::string directory = argv[1];
    const int count = atoi(argv[2]);
    char name[32];
    uint32_t mix = 0;  // keeps the checksums from being optimised away
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        snprintf(name, sizeof name, "/f%05d.dat", i);
        FILE* file = fopen((directory + name).c_str(), "rb");
        if (!file) {
            fprintf(stderr, "verify_baseline: cannot open %s%s\n", directory.c_str(), name);
            return 1;
        }
        FileFacts facts;
        ReadFileFacts(file, facts);
        StdioSampleSource source(file, static_cast<uint32_t>(facts.size));
        mix ^= ChecksumSample(source);
        fclose(file);
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    printf("baseline %lld %d %08X\n",
           static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()), count,
           static_cast<unsigned>(mix));
    return 0;
}
