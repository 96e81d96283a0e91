#include "patchlib/command_line.h"

#include <cstring>

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// A double-quoted text at *p with at least one character inside; *p moves past it.
bool Quoted(const char** p, std::string* out) {
    if (**p != '"') return false;
    const char* close = strchr(*p + 1, '"');
    if (!close || close == *p + 1) return false;
    out->assign(*p + 1, close);
    *p = close + 1;
    return true;
}

}  // namespace

bool ParsePatchCommandLine(const char* text, PatchCommand* command) {
    if (!text) return false;
    const char* p = text;
    while (IsBlank(*p)) ++p;
    const char* end = p + strlen(p);
    while (end > p && IsBlank(end[-1])) --end;
    if (p == end) return false;

    if (*p == '"') {
        std::string directory, patchFile;
        if (!Quoted(&p, &directory)) return false;
        if (p == end) {
            command->directory = directory;
            command->patchFile.clear();
            return true;
        }
        if (!IsBlank(*p)) return false;
        while (IsBlank(*p)) ++p;
        if (!Quoted(&p, &patchFile) || p != end) return false;
        command->directory = directory;
        command->patchFile = patchFile;
        return true;
    }
    for (const char* c = p; c < end; ++c) {
        if (IsBlank(*c) || *c == '"') return false;
    }
    command->directory.clear();
    command->patchFile.assign(p, end);
    return true;
}
