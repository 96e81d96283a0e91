#include "patchlib/patch_path.h"

#include <cstring>

#include "patchlib/utf8.h"

namespace {

bool IsDeviceName(const std::string& part) {
    // The device is named by what comes before the first '.': "nul.txt" is NUL too.
    std::string base = FoldPatchPath(part.substr(0, part.find('.')));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    static const char* const kNames[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"};
    for (const char* name : kNames) {
        if (base == name) return true;
    }
    if (base.compare(0, 3, "COM") != 0 && base.compare(0, 3, "LPT") != 0) return false;
    // COM0..COM9, and the superscript digits ¹ ² ³ that Windows takes as 1 2 3.
    const std::string number = base.substr(3);
    static const char* const kNumbers[] = {"\xC2\xB9", "\xC2\xB2", "\xC2\xB3"};
    if (number.size() == 1 && number[0] >= '0' && number[0] <= '9') return true;
    for (const char* superscript : kNumbers) {
        if (number == superscript) return true;
    }
    return false;
}

bool IsSafePart(const std::string& part) {
    if (part.empty() || part == "." || part == "..") return false;
    if (part.back() == '.' || part.back() == ' ') return false;
    size_t at = 0;
    char32_t c;
    while (NextUtf8(part, &at, &c)) {
        // C0 and C1 controls, DEL, and what Windows reserves.
        if (c < 0x20 || (c >= 0x7F && c <= 0x9F) || (c < 0x80 && strchr("\\:*?\"<>|", static_cast<int>(c)))) {
            return false;
        }
    }
    return at == part.size() && !IsDeviceName(part);
}

bool IsReservedName(const std::string& part) {
    const std::string folded = FoldPatchPath(part);
    return folded == FoldPatchPath(kJournalName) || folded == FoldPatchPath(kJournalNextName);
}

}  // namespace

bool IsSafePatchPath(const std::string& path) {
    if (path.empty() || path.size() > kMaxPatchPathLength) return false;
    if (IsReservedName(path.substr(0, path.find('/')))) return false;
    size_t start = 0;
    for (;;) {
        const size_t end = path.find('/', start);
        if (!IsSafePart(path.substr(start, end == std::string::npos ? std::string::npos : end - start))) return false;
        if (end == std::string::npos) return true;
        start = end + 1;
    }
}

std::string FoldPatchPath(const std::string& path) {
    std::string folded;
    folded.reserve(path.size());
    size_t at = 0;
    while (at < path.size()) {
        char32_t c;
        if (NextUtf8(path, &at, &c)) {
            AppendUtf8(SimpleUppercase(c), &folded);
        } else {
            folded.push_back(path[at++]);
        }
    }
    return folded;
}
