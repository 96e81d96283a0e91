// The few file operations makepatch needs outside the patch library's trees. Paths
// and texts are UTF-8, as the names inside patches: natively the bytes as they are,
// on Windows converted for the wide file functions.
#pragma once
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "patchlib/tree_fs.h"

// The arguments after the program name. On Windows they come from GetCommandLineW
// (argv holds them in the ANSI code page, which may lack characters of a name);
// false when they cannot be read.
bool ProgramArguments(int argc, char** argv, std::vector<std::string>* arguments);
bool ReadInputFile(const std::string& path, std::vector<uint8_t>* bytes);
bool IsDirectory(const std::string& path);
// A file written in pieces to a temporary file beside path, which Commit renames over
// path: so path is either absent, its old self or complete, never half written. The
// temporary file is removed unless committed.
class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool Open(const std::string& path);
    bool Write(const uint8_t* data, size_t size);
    bool Failed() const { return failed_; }
    bool Commit();

private:
    std::string path_, temporary_;
    FILE* file_ = nullptr;
    bool failed_ = false;
};
bool WriteOutputFile(const std::string& path, const std::vector<uint8_t>& bytes);
// Null when root cannot name a directory (not UTF-8 on Windows).
std::unique_ptr<TreeFileSystem> OpenTree(const std::string& root);
// The last part of a path ("/" and "\" both separate).
std::string BaseName(const std::string& path);
// Writes text to stream: to a Windows console as Unicode, elsewhere as UTF-8 bytes.
void PrintText(FILE* stream, const std::string& text);
