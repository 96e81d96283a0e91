// TreeFileSystem on the C++ library (std::filesystem, <cstdio>): native builds.
#pragma once
#include <string>

#include "patchlib/tree_fs.h"

class StdTreeFileSystem : public TreeFileSystem {
public:
    explicit StdTreeFileSystem(std::string root) : root_(std::move(root)) {}

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
    bool ListFiles(std::vector<std::string>* paths) override;

private:
    std::string Full(const std::string& path) const { return path.empty() ? root_ : root_ + "/" + path; }
    bool CopyNew(const std::string& from, const std::string& to);
    std::string root_;
};
