#include "patchlib/win/win_text.h"

#include <windows.h>

#include <climits>

#include "patchlib/utf8.h"

namespace {

void AppendWide(char32_t c, std::wstring* wide) {
    if (c < 0x10000) {
        wide->push_back(static_cast<wchar_t>(c));
    } else {
        c -= 0x10000;
        wide->push_back(static_cast<wchar_t>(0xD800 + (c >> 10)));
        wide->push_back(static_cast<wchar_t>(0xDC00 + (c & 0x3FF)));
    }
}

// When the system cannot convert: ASCII stays, the rest is shown as '?'.
std::string AsciiOnly(const std::wstring& wide) {
    std::string ascii;
    for (wchar_t c : wide) {
        if (c >= 0xDC00 && c <= 0xDFFF) continue;  // the second half of a pair already shown
        ascii.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return ascii;
}

}  // namespace

bool WideFromUtf8(const std::string& utf8, std::wstring* wide) {
    wide->clear();
    size_t at = 0;
    char32_t c;
    while (NextUtf8(utf8, &at, &c)) AppendWide(c, wide);
    return at == utf8.size();
}

std::string Utf8FromWide(const std::wstring& wide) {
    std::string utf8;
    for (size_t i = 0; i < wide.size(); ++i) {
        char32_t c = static_cast<char16_t>(wide[i]);
        const bool high = c >= 0xD800 && c <= 0xDBFF;
        if (high && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char16_t>(wide[++i]) - 0xDC00);
        }
        AppendUtf8(c, &utf8);
    }
    return utf8;
}

bool WideFromAnsi(const char* text, std::wstring* wide) {
    wide->clear();
    if (!*text) return true;
    const int length = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (length <= 0) return false;
    wide->resize(static_cast<size_t>(length));
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, -1, &(*wide)[0], length) != length) return false;
    wide->pop_back();  // the terminating zero
    return true;
}

std::string AnsiFromUtf8(const std::string& utf8) {
    std::wstring wide;
    for (size_t at = 0; at < utf8.size();) {
        char32_t c;
        if (!NextUtf8(utf8, &at, &c)) {
            c = '?';
            ++at;
        }
        AppendWide(c, &wide);
    }
    if (wide.empty() || wide.size() > INT_MAX / 4) return AsciiOnly(wide);
    // With a UTF-8 ANSI code page the text already is what the caller reads.
    if (GetACP() == CP_UTF8) return Utf8FromWide(wide);
    const int wideLength = static_cast<int>(wide.size());
    const int length =
        WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), wideLength, nullptr, 0, "?", nullptr);
    if (length <= 0) return AsciiOnly(wide);
    std::string ansi(static_cast<size_t>(length), '\0');
    if (WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), wideLength, &ansi[0], length, "?", nullptr) !=
        length) {
        return AsciiOnly(wide);
    }
    return ansi;
}
