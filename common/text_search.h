// Case-insensitive search and trimming of the texts that the image and the client bring:
// used wherever such a text is tested (image lines, paths, command flags).
#pragma once
#include <string>

// Position of the first occurrence of part in text, comparing after upper-casing the
// ASCII letters of both; -1 when absent. An empty part is found at 0.
int FindNoCase(const std::string& text, const std::string& part);

// Removes every leading and trailing blank, tab, CR, LF and double quote.
std::string TrimImageText(const std::string& text);
