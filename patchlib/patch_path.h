// Names of files inside a patch: relative, '/' between parts, and unable to reach
// outside the directory the patch is applied to, on Windows or elsewhere.
#pragma once
#include <string>

constexpr size_t kMaxPatchPathLength = 1024;

// True when path is a safe relative file name: no leading '/', no empty, "." or ".."
// part, no drive letter or stream (':'), no '\', no control characters or wildcard
// characters, no part ending in '.' or ' ' (Windows drops those, so "a." would name
// "a"), and no device name (CON, NUL, COM1, LPT1, ... with or without extension).
bool IsSafePatchPath(const std::string& path);

// ASCII case folded: Windows compares file names without case, so two entries that
// differ only in case name the same file.
std::string FoldPatchPath(const std::string& path);
