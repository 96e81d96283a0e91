// TreeFileSystem on the Win32 wide file functions: the root is UTF-16, the paths
// inside the tree are the patch's UTF-8 names, converted for every call.
#pragma once
#include <string>

#include "patchlib/tree_fs.h"

class WinTreeFileSystem : public TreeFileSystem {
public:
    // root: the directory of the tree, with or without a trailing separator.
    explicit WinTreeFileSystem(std::wstring root);

    Kind Stat(const std::string& path, uint64_t* size) override;
    bool ReadFile(const std::string& path, uint64_t maxSize, std::vector<uint8_t>* bytes) override;
    bool ReadPieces(const std::string& path, const std::function<bool(const uint8_t*, size_t)>& sink) override;
    bool WriteNewFile(const std::string& path, const uint8_t* data, size_t size) override;
    std::unique_ptr<NewFile> CreateNewFile(const std::string& path) override;
    bool Rename(const std::string& from, const std::string& to) override;
    bool Replace(const std::string& from, const std::string& to) override;
    bool Preserve(const std::string& from, const std::string& to) override;
    bool RemoveFile(const std::string& path) override;
    bool MakeDirectory(const std::string& path) override;
    bool RemoveEmptyDirectory(const std::string& path) override;
    // A name that is no valid UTF-16 (an unpaired surrogate) is listed in a form no
    // name check accepts; a directory of that kind is listed itself, unread.
    bool ListFiles(std::vector<std::string>* paths) override;

private:
    // False when path is not UTF-8: no file has that name.
    bool Full(const std::string& path, std::wstring* full) const;
    bool ListBelow(const std::string& relative, std::vector<std::string>* paths);
    std::wstring root_;
};

// Reads a whole file; false when it cannot be read or is larger than maxSize.
bool ReadWholeFile(const std::wstring& path, uint64_t maxSize, std::vector<uint8_t>* bytes);
