// Texts in fixed buffers: every copy is cut to fit and always terminated, never overruns.
// No Windows API here, so the rules are tested natively under the sanitizers.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

// Copies source into target (size bytes, terminator included), cut when it does not fit.
// True when it fitted whole. A null source counts as empty.
bool CopyCut(char* target, size_t size, const char* source);

// Appends source behind the text in target, cut as CopyCut. True when it fitted whole.
bool AppendCut(char* target, size_t size, const char* source);

// The part of path after its last "\" (and, with forwardSlash, also after its last
// "/"); the whole path when it has none.
const char* FileNamePart(const char* path, bool forwardSlash);

// Length of the directory part of path: everything before its last "\" (0 when none).
size_t DirectoryLength(const char* path);

// The paths of the engine's download list ("path|path|"), empty pieces skipped.
std::vector<std::string> SplitPathList(const std::string& list);
