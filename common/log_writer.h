// The engine's log: one plain text file chosen by the client, to which each text is
// appended whole, the file being opened and closed for every text.
#pragma once
#include <cstdarg>
#include <string>

#include "common/critical_section.h"

#define HALVORIN_PRINTF(formatIndex, firstArgument) \
    __attribute__((format(gnu_printf, formatIndex, firstArgument)))

class LogWriter {
public:
    static constexpr size_t kBufferSize = 8096;  // formatted text, terminator included

    // An empty path switches logging off. Takes effect with the next text.
    void SetPath(const std::string& path);
    std::string Path();

    // Formats the text (cut to 8,095 bytes) and appends it to the file. A file that
    // cannot be opened drops the text silently.
    void Write(const char* format, ...) HALVORIN_PRINTF(2, 3);
    void WriteV(const char* format, va_list arguments);

private:
    CriticalSection lock_;  // serialises every write, and guards path_
    std::string path_;
};
