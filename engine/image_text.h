// Text primitives of the update image parser: line patterns, quoted blanks, numbers.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "common/text_search.h"

// True when line has the shape of pattern, a keyword and literals with one '$' per field
// ("FILE $ $ $", "FROM V$ TO V$ $ $"). Keywords match in any case; one-character
// literals (the blank) also absorb the run of equal characters behind them, so several
// blanks separate fields like one; the keyword must open the line and no field may be
// empty; the last field takes the rest of the line. On success fields holds one trimmed
// text per '$', cut from the line with its case kept (fields is resized to that count).
// Patterns must alternate non-empty literals and single '$' and end with '$'; any other
// shape never matches.
bool MatchLinePattern(const std::string& pattern, const std::string& line,
                      std::vector<std::string>& fields);

// Byte that stands for a blank inside a pair of double quotes while a line is matched.
constexpr unsigned char kProtectedBlank = 0xFF;
// Marks the byte after it as itself (a literal 0xFF or 0x01 of the line).
constexpr unsigned char kProtectionEscape = 0x01;

// Inside each pair of double quotes every blank becomes kProtectedBlank, so that a quoted
// value matches as one field. A quote left open protects up to the end of the line: lines
// are trimmed of quotes, so a quoted last field has lost its closing quote.
// A byte 0xFF or 0x01 already in the line gets kProtectionEscape in front of it, so that
// RestoreQuotedBlanks can give a real 0xFF (y-diaeresis in the Western code page) back
// as itself instead of as a blank.
std::string ProtectQuotedBlanks(const std::string& line);

// Undoes ProtectQuotedBlanks on a field: protected blanks become blanks again, escaped
// bytes become themselves; then TrimImageText (which also drops the quotes).
std::string RestoreQuotedBlanks(const std::string& field);

// Only removes the escapes of ProtectQuotedBlanks: protected blanks stay 0xFF. For the
// fields of a protected line that are taken as they were matched.
std::string DropProtectionEscapes(const std::string& field);

// Decimal number as the image writes it: leading white space, an optional sign, then
// digits up to the first non-digit; no digits gives 0. The digits are summed in 64 bits
// and stop growing at 4,294,967,295, so no text can overflow.
//  - ReadImageInt32 clamps the signed value to the 32-bit signed range
//    ("3000000000" gives 2147483647, "-3000000000" gives -2147483648).
//  - ReadImageUInt32 keeps the low 32 bits of the signed value: numbers up to
//    4,294,967,295 read as written, longer ones as 4,294,967,295, and a negative number
//    wraps as a 32-bit field stores it ("-1" gives 4294967295).
int32_t ReadImageInt32(const std::string& text);
uint32_t ReadImageUInt32(const std::string& text);
