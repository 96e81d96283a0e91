#include "files/paths.h"

#include "common/text_search.h"

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Index of the last separator at position 1 or later, or 0 when there is none.
size_t LastSeparator(const std::string& path) {
    for (size_t i = path.size(); i > 1; --i) {
        if (IsSeparator(path[i - 1])) return i - 1;
    }
    return 0;
}

const char kSystemPlaceholder[] = "%SYSTEM%";

}  // namespace

bool IsAbsolutePath(const std::string& path) {
    return path.size() >= 3 && path[1] == ':' && IsSeparator(path[2]);
}

std::string JoinPath(const std::string& directory, const std::string& path) {
    if (path.empty()) return std::string();
    std::string joined = directory;
    const bool directoryEndsWithSeparator = !directory.empty() && IsSeparator(directory.back());
    if (!directoryEndsWithSeparator && !IsSeparator(path.front())) joined += '/';
    joined += path;
    return joined;
}

std::string DirectoryOf(const std::string& path) {
    const size_t separator = LastSeparator(path);
    return separator == 0 ? std::string() : path.substr(0, separator + 1);
}

std::string FileNameOf(const std::string& path) {
    const size_t separator = LastSeparator(path);
    return separator == 0 ? std::string() : path.substr(separator + 1);
}

std::string ReplaceSystemPrefix(const std::string& path, const std::string& systemDirectory) {
    if (FindNoCase(path, kSystemPlaceholder) != 0) return path;
    return systemDirectory + path.substr(sizeof(kSystemPlaceholder) - 1);
}
