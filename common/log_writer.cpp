#include "common/log_writer.h"

#include <windows.h>

#include <cstdio>

#include "common/win_handles.h"

namespace {

constexpr size_t kBatchLimit = 65536;

}  // namespace

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
    if (batchThread_ != 0 && batchThread_ == GetCurrentThreadId()) {
        batched_.append(text, length);
        if (batched_.size() >= kBatchLimit) {
            Append(batched_.data(), batched_.size());
            batched_.clear();
        }
        return;
    }
    Append(text, length);
}

void LogWriter::Append(const char* text, size_t length) {
    if (path_.empty() || length == 0) return;
    // Opened for appending only (created when missing) and closed again at once, so other
    // programs may read, copy or delete the log between two writes.
    UniqueHandle file(CreateFileA(path_.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    // Written as data: a '%' brought in by an argument stays as it is.
    DWORD written = 0;
    WriteFile(file.get(), text, static_cast<DWORD>(length), &written, nullptr);
}

LogWriter::Batch::Batch(LogWriter& log) : log_(log) {
    ScopedLock guard(log_.lock_);
    owner_ = log_.batchThread_ == 0;
    if (owner_) log_.batchThread_ = GetCurrentThreadId();
}

LogWriter::Batch::~Batch() {
    if (!owner_) return;
    ScopedLock guard(log_.lock_);
    log_.Append(log_.batched_.data(), log_.batched_.size());
    log_.batched_.clear();
    log_.batchThread_ = 0;
}
