#include "patchlib/std_tree_fs.h"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <new>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

// Data and size on disk, not only in the C library's and the system's buffers.
bool Flush(FILE* file) { return fflush(file) == 0 && fsync(fileno(file)) == 0; }

// The directory's entry of a renamed file on disk.
void SyncDirectoryOf(const fs::path& path) {
    const int directory = open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY);
    if (directory < 0) return;
    fsync(directory);
    close(directory);
}

}  // namespace

TreeFileSystem::Kind StdTreeFileSystem::Stat(const std::string& path, uint64_t* size) {
    std::error_code error;
    const fs::file_status status = fs::status(Full(path), error);
    if (status.type() == fs::file_type::not_found) return Kind::kMissing;
    if (error) return Kind::kOther;
    if (fs::is_directory(status)) {
        // A link to a directory inside the tree could lead a write outside it.
        if (!path.empty() && fs::is_symlink(fs::symlink_status(Full(path), error))) return Kind::kOther;
        return Kind::kDirectory;
    }
    if (!fs::is_regular_file(status)) return Kind::kOther;
    const uintmax_t length = fs::file_size(Full(path), error);
    if (error) return Kind::kOther;
    if (size) *size = length;
    return Kind::kFile;
}

bool StdTreeFileSystem::ReadFile(const std::string& path, uint64_t maxSize, std::vector<uint8_t>* bytes) {
    UniqueFile file(fopen(Full(path).c_str(), "rb"));
    if (!file) return false;
    bytes->clear();
    uint8_t buffer[1 << 16];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, file.get())) > 0) {
        if (got > maxSize - bytes->size()) return false;
        bytes->insert(bytes->end(), buffer, buffer + got);
    }
    return !ferror(file.get());
}

bool StdTreeFileSystem::ReadPieces(const std::string& path, const std::function<bool(const uint8_t*, size_t)>& sink) {
    UniqueFile file(fopen(Full(path).c_str(), "rb"));
    if (!file) return false;
    std::vector<uint8_t> buffer(1 << 20);
    size_t got;
    while ((got = fread(buffer.data(), 1, buffer.size(), file.get())) > 0) {
        if (!sink(buffer.data(), got)) return false;
    }
    return !ferror(file.get());
}

namespace {

class StdNewFile : public TreeFileSystem::NewFile {
public:
    StdNewFile(FILE* file, std::string path) : file_(file), path_(std::move(path)) {}
    ~StdNewFile() override {
        if (!file_) return;
        fclose(file_);
        std::error_code error;
        fs::remove(path_, error);
    }
    bool Write(const uint8_t* data, size_t size) override {
        return file_ && (size == 0 || fwrite(data, 1, size, file_) == size);
    }
    bool Finish() override {
        if (!file_) return false;
        const bool flushed = Flush(file_);
        const bool closed = fclose(file_) == 0;
        file_ = nullptr;
        if (flushed && closed) return true;
        std::error_code error;
        fs::remove(path_, error);
        return false;
    }

private:
    FILE* file_;
    std::string path_;
};

}  // namespace

bool StdTreeFileSystem::WriteNewFile(const std::string& path, const uint8_t* data, size_t size) {
    const std::unique_ptr<NewFile> file = CreateNewFile(path);
    return file && file->Write(data, size) && file->Finish();
}

std::unique_ptr<TreeFileSystem::NewFile> StdTreeFileSystem::CreateNewFile(const std::string& path) {
    // "x": fail rather than replace an existing file.
    FILE* raw = fopen(Full(path).c_str(), "wbx");
    if (!raw) return nullptr;
    return std::make_unique<StdNewFile>(raw, Full(path));
}

bool StdTreeFileSystem::Rename(const std::string& from, const std::string& to) {
    std::error_code error;
    if (fs::exists(fs::symlink_status(Full(to), error))) return false;
    fs::rename(Full(from), Full(to), error);
    return !error;
}

bool StdTreeFileSystem::Replace(const std::string& from, const std::string& to) {
    std::error_code error;
    // rename() replaces a file in one step; it must not put a file over a directory.
    if (!fs::is_regular_file(fs::symlink_status(Full(from), error))) return false;
    if (fs::is_directory(fs::symlink_status(Full(to), error))) return false;
    fs::rename(Full(from), Full(to), error);
    if (error) return false;
    SyncDirectoryOf(Full(to));
    return true;
}

bool StdTreeFileSystem::Preserve(const std::string& from, const std::string& to) {
    std::error_code error;
    if (!fs::is_regular_file(fs::symlink_status(Full(from), error))) return false;
    fs::create_hard_link(Full(from), Full(to), error);
    return !error || CopyNew(from, to);
}

bool StdTreeFileSystem::CopyNew(const std::string& from, const std::string& to) {
    UniqueFile source(fopen(Full(from).c_str(), "rb"));
    if (!source) return false;
    FILE* raw = fopen(Full(to).c_str(), "wbx");
    if (!raw) return false;
    std::vector<uint8_t> buffer(1 << 20);
    bool ok = true;
    size_t got;
    while (ok && (got = fread(buffer.data(), 1, buffer.size(), source.get())) > 0) {
        ok = fwrite(buffer.data(), 1, got, raw) == got;
    }
    ok = ok && !ferror(source.get()) && Flush(raw);
    ok = fclose(raw) == 0 && ok;
    if (ok) return true;
    std::error_code error;
    fs::remove(Full(to), error);
    return false;
}

bool StdTreeFileSystem::RemoveFile(const std::string& path) {
    std::error_code error;
    if (fs::is_directory(fs::symlink_status(Full(path), error))) return false;
    return fs::remove(Full(path), error) && !error;
}

bool StdTreeFileSystem::MakeDirectory(const std::string& path) {
    std::error_code error;
    return fs::create_directory(Full(path), error) && !error;
}

bool StdTreeFileSystem::RemoveEmptyDirectory(const std::string& path) {
    std::error_code error;
    if (!fs::is_directory(fs::symlink_status(Full(path), error))) return false;
    return fs::remove(Full(path), error) && !error;
}

bool StdTreeFileSystem::ListFiles(std::vector<std::string>* paths) {
    std::error_code error;
    const fs::path root(root_);
    fs::recursive_directory_iterator it(root, error), end;
    if (error) return false;
    for (; it != end; it.increment(error)) {
        if (error) return false;
        std::error_code statusError;
        if (it->is_regular_file(statusError)) {
            paths->push_back(it->path().lexically_relative(root).generic_string());
        }
    }
    return !error;
}
