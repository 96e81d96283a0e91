#include "common/text_search.h"

namespace {

char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool IsTrimmed(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '"'; }

}  // namespace

int FindNoCase(const std::string& text, const std::string& part) {
    if (part.size() > text.size()) return -1;
    for (size_t start = 0; start + part.size() <= text.size(); ++start) {
        size_t i = 0;
        while (i < part.size() && UpperAscii(text[start + i]) == UpperAscii(part[i])) ++i;
        if (i == part.size()) return static_cast<int>(start);
    }
    return -1;
}

std::string TrimImageText(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && IsTrimmed(text[begin])) ++begin;
    while (end > begin && IsTrimmed(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}
