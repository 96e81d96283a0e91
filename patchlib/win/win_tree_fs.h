// TreeFileSystem on the Win32 ANSI file functions: the paths are the system's 8-bit
// texts, as everywhere in this system.
#pragma once
#include <string>

#include "patchlib/tree_fs.h"

class WinTreeFileSystem : public TreeFileSystem {
public:
    // root: the directory of the tree, with or without a trailing separator.
    explicit WinTreeFileSystem(std::string root);

    Kind Stat(const std::string& path, uint64_t* size) override;
    bool ReadFile(const std::string& path, uint64_t maxSize, std::vector<uint8_t>* bytes) override;
    bool ReadPieces(const std::string& path, const std::function<bool(const uint8_t*, size_t)>& sink) override;
    bool WriteNewFile(const std::string& path, const uint8_t* data, size_t size) override;
    bool Rename(const std::string& from, const std::string& to) override;
    bool RemoveFile(const std::string& path) override;
    bool MakeDirectory(const std::string& path) override;
    bool RemoveEmptyDirectory(const std::string& path) override;
    bool ListFiles(std::vector<std::string>* paths) override;

private:
    std::string Full(const std::string& path) const;
    bool ListBelow(const std::string& relative, std::vector<std::string>* paths);
    std::string root_;
};

// Reads a whole file named by an 8-bit path; false when it cannot be read or is
// larger than maxSize.
bool ReadWholeFileA(const std::string& path, uint64_t maxSize, std::vector<uint8_t>* bytes);
