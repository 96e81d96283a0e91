// Text primitives of the update image, shared with the path helpers and command entries.
#pragma once
#include <string>

// Position of the first occurrence of part in text, comparing after upper-casing the
// ASCII letters of both; -1 when absent. An empty part is found at 0.
int FindNoCase(const std::string& text, const std::string& part);

// Removes every leading and trailing blank, tab, CR, LF and double quote.
std::string TrimImageText(const std::string& text);
