#include "tools/makepatch/tool_io.h"

#include <cstdio>

#ifdef _WIN32
#include <windows.h>

#include "patchlib/win/win_tree_fs.h"
#else
#include <sys/stat.h>

#include "patchlib/std_tree_fs.h"
#endif

#include "patchlib/delta.h"

namespace {

// Above this an input is refused (the patch format's own limit).
constexpr uint64_t kMaxInput = kDeltaMaxSize;

bool Exists(const std::string& path) {
#ifdef _WIN32
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
#else
    struct stat info;
    return stat(path.c_str(), &info) == 0;
#endif
}

bool ReplaceFile(const std::string& from, const std::string& to) {
#ifdef _WIN32
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
#else
    return rename(from.c_str(), to.c_str()) == 0;
#endif
}

}  // namespace

bool ReadInputFile(const std::string& path, std::vector<uint8_t>* bytes) {
#ifdef _WIN32
    return ReadWholeFileA(path, kMaxInput, bytes);
#else
    if (IsDirectory(path)) return false;
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) return false;
    // One read of the whole file where its size is known; pieces otherwise (pipes).
    bool ok = true;
    bytes->clear();
    if (fseek(file, 0, SEEK_END) == 0) {
        const long size = ftell(file);
        ok = size >= 0 && static_cast<uint64_t>(size) <= kMaxInput && fseek(file, 0, SEEK_SET) == 0;
        if (ok) bytes->reserve(static_cast<size_t>(size));
    }
    uint8_t buffer[1 << 16];
    size_t got;
    while (ok && (got = fread(buffer, 1, sizeof buffer, file)) > 0) {
        ok = bytes->size() + got <= kMaxInput;
        if (ok) bytes->insert(bytes->end(), buffer, buffer + got);
    }
    ok = ok && !ferror(file);
    fclose(file);
    return ok;
#endif
}

bool IsDirectory(const std::string& path) {
#ifdef _WIN32
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
#else
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
#endif
}

bool WriteOutputFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::string temporary;
    for (unsigned n = 0;; ++n) {
        temporary = path + ".part" + std::to_string(n);
        if (!Exists(temporary)) break;
    }
    FILE* file = fopen(temporary.c_str(), "wb");
    if (!file) return false;
    bool ok = bytes.empty() || fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    ok = fflush(file) == 0 && ok;
    ok = fclose(file) == 0 && ok;
    if (ok && ReplaceFile(temporary, path)) return true;
    remove(temporary.c_str());
    return false;
}

std::unique_ptr<TreeFileSystem> OpenTree(const std::string& root) {
#ifdef _WIN32
    return std::make_unique<WinTreeFileSystem>(root);
#else
    return std::make_unique<StdTreeFileSystem>(root);
#endif
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}
