#include "common/error_report.h"

#include <cstdio>

void ErrorReport::Clear() {
    ScopedLock guard(lock_);
    texts_.clear();
}

void ErrorReport::Add(const std::string& text) {
    ScopedLock guard(lock_);
    texts_.push_back(text);
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
