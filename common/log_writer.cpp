#include "common/log_writer.h"

#include <cstdio>

void LogWriter::SetPath(const std::string& path) {
    ScopedLock guard(lock_);
    path_ = path;
}

std::string LogWriter::Path() {
    ScopedLock guard(lock_);
    return path_;
}

void LogWriter::Write(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    WriteV(format, arguments);
    va_end(arguments);
}

void LogWriter::WriteV(const char* format, va_list arguments) {
    // Formatted before the lock is taken; a longer text is cut at the buffer's end.
    char text[kBufferSize];
    const int formatted = vsnprintf(text, sizeof(text), format, arguments);
    if (formatted < 0) return;
    const size_t length = static_cast<size_t>(formatted) < sizeof(text) ? static_cast<size_t>(formatted)
                                                                         : sizeof(text) - 1;
    ScopedLock guard(lock_);
    if (path_.empty()) return;
    FILE* file = fopen(path_.c_str(), "ab");
    if (file == nullptr) return;
    // Written as data: a '%' brought in by an argument stays as it is.
    fwrite(text, 1, length, file);
    fclose(file);
}
