#include "patchlib/patch_path.h"

#include <cstring>

namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsDeviceName(const std::string& part) {
    // The device is named by what comes before the first '.': "nul.txt" is NUL too.
    std::string base = FoldPatchPath(part.substr(0, part.find('.')));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    static const char* const kNames[] = {"con", "prn", "aux", "nul", "conin$", "conout$", "clock$"};
    for (const char* name : kNames) {
        if (base == name) return true;
    }
    if (base.size() == 4 && (base.compare(0, 3, "com") == 0 || base.compare(0, 3, "lpt") == 0) &&
        base[3] >= '0' && base[3] <= '9') {
        return true;
    }
    return false;
}

bool IsSafePart(const std::string& part) {
    if (part.empty() || part == "." || part == "..") return false;
    if (part.back() == '.' || part.back() == ' ') return false;
    for (unsigned char c : part) {
        if (c < 0x20 || c == 0x7F || strchr("\\:*?\"<>|", c)) return false;
    }
    return !IsDeviceName(part);
}

}  // namespace

bool IsSafePatchPath(const std::string& path) {
    if (path.empty() || path.size() > kMaxPatchPathLength) return false;
    size_t start = 0;
    for (;;) {
        const size_t end = path.find('/', start);
        if (!IsSafePart(path.substr(start, end == std::string::npos ? std::string::npos : end - start))) return false;
        if (end == std::string::npos) return true;
        start = end + 1;
    }
}

std::string FoldPatchPath(const std::string& path) {
    std::string folded = path;
    for (char& c : folded) c = Lower(c);
    return folded;
}
