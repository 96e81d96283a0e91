#include "common/error_report.h"

#include <cstdarg>
#include <cstdio>

void ErrorReport::Clear() {
    ScopedLock guard(lock_);
    texts_.clear();
}

void ErrorReport::Add(const std::string& text) {
    ScopedLock guard(lock_);
    texts_.push_back(text);
}

void ErrorReport::AddFormatted(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    va_list measure;
    va_copy(measure, arguments);
    const int length = vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    std::string text;
    if (length > 0) {
        text.resize(static_cast<size_t>(length) + 1);
        vsnprintf(&text[0], text.size(), format, arguments);
        text.resize(static_cast<size_t>(length));
    }
    va_end(arguments);
    Add(text);
}

std::vector<std::string> ErrorReport::Texts() {
    ScopedLock guard(lock_);
    return texts_;
}

bool ErrorReport::AppendToFile(const std::string& fileName) {
    ScopedLock guard(lock_);
    FILE* file = fopen(fileName.c_str(), "ab");
    if (file == nullptr) return false;
    for (const std::string& text : texts_) fprintf(file, "- %s\r\n", text.c_str());
    fclose(file);
    return true;
}
