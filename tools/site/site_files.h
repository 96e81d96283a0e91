// The file operations the publishers' tool needs beyond reading and writing whole files
// (tools/makepatch/tool_io.h): directories, renames, removal and modification times.
// Paths are UTF-8: natively the bytes as they are, on Windows through the wide functions.
#pragma once
#include <cstdint>
#include <filesystem>
#include <string>

// The path as the standard library takes it, from UTF-8 on every system.
std::filesystem::path FsPath(const std::string& path);
// A path of the standard library as UTF-8, '/' between parts.
std::string Utf8Of(const std::filesystem::path& path);

// Creates every missing directory of path (the path itself included).
bool MakeDirectories(const std::string& path);
// Renames a file or directory; fails when to exists.
bool RenamePath(const std::string& from, const std::string& to);
// Renames a file over another in one step (to may exist).
bool ReplacePath(const std::string& from, const std::string& to);
// Removes a directory with everything in it; true when nothing is left.
bool RemoveTree(const std::string& path);
bool PathExists(const std::string& path);
// Last-write time in seconds since 1970-01-01 UTC; false when it cannot be read.
bool ModifiedTime(const std::string& path, int64_t* seconds);
