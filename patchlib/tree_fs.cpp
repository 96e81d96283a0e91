#include "patchlib/tree_fs.h"

namespace {

class GatheredNewFile : public TreeFileSystem::NewFile {
public:
    GatheredNewFile(TreeFileSystem& tree, std::string path) : tree_(tree), path_(std::move(path)) {}
    bool Write(const uint8_t* data, size_t size) override {
        bytes_.insert(bytes_.end(), data, data + size);
        return true;
    }
    bool Finish() override { return tree_.WriteNewFile(path_, bytes_.data(), bytes_.size()); }

private:
    TreeFileSystem& tree_;
    std::string path_;
    std::vector<uint8_t> bytes_;
};

}  // namespace

std::unique_ptr<TreeFileSystem::NewFile> TreeFileSystem::CreateNewFile(const std::string& path) {
    if (Stat(path, nullptr) != Kind::kMissing) return nullptr;
    return std::make_unique<GatheredNewFile>(*this, path);
}
