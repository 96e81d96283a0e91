// Conversions between automation strings and the engine's 8-bit texts (ANSI code page).
#pragma once
#include <windows.h>
#include <oleauto.h>

#include <string>

constexpr size_t kTextBufferChars = 256;    // properties and text arguments
constexpr size_t kListBufferChars = 65536;  // module list, downloaded-file list

// At most 255 characters: a longer text is cut there. A null string is empty. The text
// ends at an embedded zero, as the conversion of a terminated string would.
std::string TextFromBstr(BSTR value);

// A new automation string from the text, cut to fit a buffer of bufferChars wide
// characters with its terminator.
BSTR BstrFromText(const std::string& text, size_t bufferChars = kTextBufferChars);
