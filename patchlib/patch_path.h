// Names of files inside a patch: UTF-8, relative, '/' between parts, and unable to
// reach outside the directory the patch is applied to, on Windows or elsewhere.
#pragma once
#include <string>

constexpr size_t kMaxPatchPathLength = 1024;  // bytes of UTF-8

// True when path is a safe relative file name: well-formed UTF-8 (see NextUtf8), no
// leading '/', no empty, "." or ".." part, no drive letter or stream (':'), no '\',
// no control characters or wildcard characters, no part ending in '.' or ' ' (Windows
// drops those, so "a." would name "a"), and no device name (CON, NUL, COM1, LPT1,
// COM¹, ... with or without extension, in any case).
bool IsSafePatchPath(const std::string& path);

// The key under which Windows sees a name: every character through its simple
// uppercase mapping, as NTFS compares names. Two paths with equal keys name the same
// file. Bytes that are not well-formed UTF-8 are kept as they are.
std::string FoldPatchPath(const std::string& path);
