// Texts between the patch's UTF-8, the UTF-16 of the wide file functions and the
// 8-bit texts of the library's callers (the system's ANSI code page).
#pragma once
#include <string>

// False when utf8 is not well-formed UTF-8 (see NextUtf8).
bool WideFromUtf8(const std::string& utf8, std::wstring* wide);

// An unpaired surrogate (possible in NTFS names) becomes the three bytes of its
// value, which no UTF-8 check accepts: such a name is refused, never changed into
// another one.
std::string Utf8FromWide(const std::wstring& wide);

// text in the ANSI code page; false when it holds bytes that are no character there
// (a lead byte without its second byte).
bool WideFromAnsi(const char* text, std::wstring* wide);

// For the callers: UTF-8 in the ANSI code page. A character the code page lacks
// becomes '?' (never a look-alike, which could read as '\' or '/'); bytes that are
// not UTF-8 become '?' too.
std::string AnsiFromUtf8(const std::string& utf8);
