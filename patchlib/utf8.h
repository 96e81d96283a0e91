// UTF-8, the encoding of every text inside a patch, and the case folding of names.
// Portable: the same results natively and on Windows.
#pragma once
#include <cstddef>
#include <string>

// Decodes the character at text[*at] and moves *at past it. False, with *at left as
// it was, at the end of text or on anything but well-formed UTF-8: a stray or
// missing continuation byte, an overlong form, a surrogate (U+D800..U+DFFF) or a
// value above U+10FFFF.
bool NextUtf8(const std::string& text, size_t* at, char32_t* character);

bool IsValidUtf8(const std::string& text);

// Appends the UTF-8 form of character (at most U+10FFFF). A surrogate is written in
// the same three-byte pattern, which NextUtf8 refuses: an unpaired surrogate in a
// Windows name so turns into a text that no check lets through.
void AppendUtf8(char32_t character, std::string* text);

// The Unicode simple uppercase mapping, within the Basic Multilingual Plane (as the
// NTFS upcase table); other characters map to themselves.
char32_t SimpleUppercase(char32_t character);
