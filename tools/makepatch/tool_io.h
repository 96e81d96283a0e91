// The few file operations makepatch needs outside the patch library's trees, on the
// C library natively and on the Win32 ANSI functions on Windows.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "patchlib/tree_fs.h"

bool ReadInputFile(const std::string& path, std::vector<uint8_t>* bytes);
bool IsDirectory(const std::string& path);
// Writes a temporary file beside path and renames it over path, so path is either
// absent, its old self or complete; never half written.
bool WriteOutputFile(const std::string& path, const std::vector<uint8_t>& bytes);
std::unique_ptr<TreeFileSystem> OpenTree(const std::string& root);
// The last part of a path ("/" and "\" both separate).
std::string BaseName(const std::string& path);
