// Names of files inside a patch: UTF-8, relative, '/' between parts, and unable to
// reach outside the directory the patch is applied to, on Windows or elsewhere.
#pragma once
#include <string>

constexpr size_t kMaxPatchPathLength = 1024;  // bytes of UTF-8

// The applier's own files in the root of the tree: its journal, and the journal's
// next version while that is written. No patch may name them.
constexpr char kJournalName[] = ".hvpatch-journal";
constexpr char kJournalNextName[] = ".hvpatch-journal.new";

// True when path is a safe relative file name: well-formed UTF-8 (see NextUtf8), no
// leading '/', no empty, "." or ".." part, no drive letter or stream (':'), no '\',
// no control characters or wildcard characters, no part ending in '.' or ' ' (Windows
// drops those, so "a." would name "a"), and no device name (CON, NUL, COM1, LPT1,
// COM¹, ... with or without extension, in any case), and no first part that is one of
// the applier's own names above (in any case).
bool IsSafePatchPath(const std::string& path);

// The key under which Windows sees a name: every character through its simple
// uppercase mapping, as NTFS compares names. Two paths with equal keys name the same
// file. Bytes that are not well-formed UTF-8 are kept as they are.
std::string FoldPatchPath(const std::string& path);
