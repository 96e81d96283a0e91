#include "brannock/text_cut.h"

#include <cstring>

bool CopyCut(char* target, size_t size, const char* source) {
    if (size == 0) return false;
    target[0] = '\0';
    return AppendCut(target, size, source);
}

bool AppendCut(char* target, size_t size, const char* source) {
    if (size == 0) return false;
    const size_t used = strnlen(target, size - 1);
    const size_t length = source ? std::strlen(source) : 0;
    const size_t room = size - 1 - used;
    const size_t taken = length < room ? length : room;
    if (taken) std::memcpy(target + used, source, taken);
    target[used + taken] = '\0';
    return taken == length;
}

const char* FileNamePart(const char* path, bool forwardSlash) {
    const char* name = path;
    for (const char* at = path; *at; ++at) {
        if (*at == '\\' || (forwardSlash && *at == '/')) name = at + 1;
    }
    return name;
}

size_t DirectoryLength(const char* path) {
    const char* name = FileNamePart(path, false);
    return name == path ? 0 : static_cast<size_t>(name - path - 1);
}

std::vector<std::string> SplitPathList(const std::string& list) {
    std::vector<std::string> paths;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find('|', start);
        if (end == std::string::npos) end = list.size();
        if (end > start) paths.push_back(list.substr(start, end - start));
        start = end + 1;
    }
    return paths;
}
