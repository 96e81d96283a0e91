#include "tools/site/file_facts.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <climits>
#include <ctime>

bool ReadFileFacts(FILE* file, FileFacts& facts) {
#ifdef _WIN32
    // The 64-bit form: the plain one holds sizes in 32 bits on Windows.
    struct _stat64 status;
    if (_fstat64(_fileno(file), &status) != 0) return false;
    facts.regular = (status.st_mode & _S_IFMT) == _S_IFREG;
#else
    struct stat status;
    if (fstat(fileno(file), &status) != 0) return false;
    facts.regular = S_ISREG(status.st_mode);
#endif
    facts.size = static_cast<uint64_t>(status.st_size);
    facts.lastWrite = static_cast<int64_t>(status.st_mtime);
    return true;
}

unsigned UtcMinute(int64_t seconds) {
    const time_t t = static_cast<time_t>(seconds);
    if (static_cast<int64_t>(t) == seconds) {
        if (const std::tm* calendar = gmtime(&t)) return static_cast<unsigned>(calendar->tm_min);
    }
    // Outside what gmtime takes (before 1970 on Windows): UTC has no leap seconds here.
    const int64_t minutes = seconds / 60 - (seconds % 60 < 0 ? 1 : 0);
    return static_cast<unsigned>(((minutes % 60) + 60) % 60);
}

size_t StdioSampleSource::ReadFromStart(uint8_t* buffer, size_t size) {
    if (fseek(file_, 0, SEEK_SET) != 0) {
        failed_ = true;
        return 0;
    }
    return Read(buffer, size);
}

size_t StdioSampleSource::ReadBeforeEnd(int64_t distance, uint8_t* buffer, size_t size) {
    if (distance < 0 || distance > LONG_MAX || fseek(file_, -static_cast<long>(distance), SEEK_END) != 0) {
        failed_ = true;
        return 0;
    }
    return Read(buffer, size);
}

size_t StdioSampleSource::Read(uint8_t* buffer, size_t size) {
    const size_t read = fread(buffer, 1, size, file_);
    if (read != size) failed_ = true;
    return read;
}
