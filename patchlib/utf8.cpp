#include "patchlib/utf8.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

#include "patchlib/upcase_table.h"

bool NextUtf8(const std::string& text, size_t* at, char32_t* character) {
    if (*at >= text.size()) return false;
    const unsigned char lead = static_cast<unsigned char>(text[*at]);
    if (lead < 0x80) {
        *character = lead;
        ++*at;
        return true;
    }
    size_t length;
    char32_t value, smallest;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, value = lead & 0x1F, smallest = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, value = lead & 0x0F, smallest = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, value = lead & 0x07, smallest = 0x10000;
    } else {
        return false;  // a continuation byte, an overlong two-byte lead (C0, C1) or beyond U+10FFFF
    }
    if (text.size() - *at < length) return false;
    for (size_t i = 1; i < length; ++i) {
        const unsigned char next = static_cast<unsigned char>(text[*at + i]);
        if ((next & 0xC0) != 0x80) return false;
        value = (value << 6) | (next & 0x3F);
    }
    if (value < smallest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
    *character = value;
    *at += length;
    return true;
}

bool IsValidUtf8(const std::string& text) {
    size_t at = 0;
    char32_t character;
    while (NextUtf8(text, &at, &character)) {
    }
    return at == text.size();
}

void AppendUtf8(char32_t c, std::string* text) {
    if (c < 0x80) {
        text->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        text->push_back(static_cast<char>(0xC0 | (c >> 6)));
        text->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        text->push_back(static_cast<char>(0xE0 | (c >> 12)));
        text->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        text->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        text->push_back(static_cast<char>(0xF0 | (c >> 18)));
        text->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        text->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        text->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

char32_t SimpleUppercase(char32_t c) {
    if (c > 0xFFFF) return c;
    // The last range starting at or before c.
    const UpcaseRange* range =
        std::upper_bound(std::begin(kUpcaseRanges), std::end(kUpcaseRanges), c,
                         [](char32_t value, const UpcaseRange& r) { return value < r.first; });
    if (range == std::begin(kUpcaseRanges)) return c;
    --range;
    if (c > range->last || (c - range->first) % range->step != 0) return c;
    return static_cast<char32_t>(static_cast<int32_t>(c) + range->delta);
}
