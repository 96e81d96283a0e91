// The engine's log: one plain text file chosen by the client, to which each text is
// appended whole, the file being opened and closed for every text.
#pragma once
#include <cstdarg>
#include <string>

#include "common/critical_section.h"
#include "common/text_format.h"


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

    // While a batch lives, the texts that its thread writes gather in memory and reach the
    // file together, in their order, when the batch ends (and whenever 64 KiB have
    // gathered): for loops that log a line per file, where opening the file for every line
    // would cost as much as the work itself. Texts of other threads go to the file at once.
    class Batch {
    public:
        explicit Batch(LogWriter& log);
        ~Batch();
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;

    private:
        LogWriter& log_;
        bool owner_;  // false inside another batch of the same writer, which keeps the texts
    };

private:
    void Append(const char* text, size_t length);  // under lock_

    CriticalSection lock_;  // serialises every write, and guards the members below
    std::string path_;
    unsigned long batchThread_ = 0;  // the thread whose texts gather, 0: none
    std::string batched_;
};
