// The code page of an update image: the 8-bit code page its clients read it in (the
// engine reads image text in the system's ANSI code page). The publishers' tool works in
// UTF-8, as the patch library does; names it writes into an image are converted, names it
// reads from one are converted back. The conversions come from the system: iconv natively,
// the Windows code page functions on Windows.
#pragma once
#include <string>

// The code page clients use when a manifest names none: Western Windows.
constexpr unsigned kDefaultCodePage = 1252;

// UTF-8 text into the code page. False when the code page is not known here, the text is
// not UTF-8, or a character has no form in the code page (no look-alike is taken).
bool Utf8ToCodePage(const std::string& utf8, unsigned codePage, std::string* out);

// Text of the code page into UTF-8. False when the code page is not known here or the
// bytes are no text of it.
bool CodePageToUtf8(const std::string& text, unsigned codePage, std::string* out);

// Whether the system here can convert to and from the code page.
bool CodePageKnown(unsigned codePage);
