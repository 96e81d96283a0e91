// Size, last-write minute and sample of a file opened with stdio: the same route on
// Linux and Windows, so the publishers' tool computes file Ids alike on both.
#pragma once
#include <cstdint>
#include <cstdio>

#include "common/file_id.h"

struct FileFacts {
    uint64_t size = 0;
    int64_t lastWrite = 0;  // seconds since 1970-01-01 UTC
    bool regular = false;
};

// False when the system cannot describe the open file.
bool ReadFileFacts(FILE* file, FileFacts& facts);

// Minute (0-59) of a UTC time in seconds since 1970: what the file Id's two digits show.
unsigned UtcMinute(int64_t seconds);

// The sample bytes of a file read through stdio. Records a failed seek or a short read
// (a file that shrinks while it is read).
class StdioSampleSource : public SampleSource {
public:
    StdioSampleSource(FILE* file, uint32_t size) : file_(file), size_(size) {}

    uint32_t Size() override { return size_; }
    size_t ReadFromStart(uint8_t* buffer, size_t size) override;
    size_t ReadBeforeEnd(int64_t distance, uint8_t* buffer, size_t size) override;

    bool Failed() const { return failed_; }

private:
    size_t Read(uint8_t* buffer, size_t size);

    FILE* file_;
    uint32_t size_;
    bool failed_ = false;
};
