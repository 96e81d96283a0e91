#include "tools/site/site_files.h"

#include <filesystem>
#include <system_error>

#ifdef _WIN32
#include <windows.h>

#include "patchlib/win/win_text.h"
#else
#include <sys/stat.h>
#endif

namespace fs = std::filesystem;

fs::path FsPath(const std::string& path) {
#ifdef _WIN32
    std::wstring wide;
    WideFromUtf8(path, &wide);
    return fs::path(wide);
#else
    return fs::path(path);
#endif
}

std::string Utf8Of(const fs::path& path) {
#ifdef _WIN32
    return Utf8FromWide(path.generic_wstring());
#else
    return path.generic_string();
#endif
}

bool MakeDirectories(const std::string& path) {
    std::error_code error;
    fs::create_directories(FsPath(path), error);
    return fs::is_directory(FsPath(path), error);
}

bool RenamePath(const std::string& from, const std::string& to) {
    std::error_code error;
    if (fs::exists(FsPath(to), error)) return false;
    fs::rename(FsPath(from), FsPath(to), error);
    return !error;
}

bool ReplacePath(const std::string& from, const std::string& to) {
    std::error_code error;
    fs::rename(FsPath(from), FsPath(to), error);
    return !error;
}

bool RemoveTree(const std::string& path) {
    std::error_code error;
    fs::remove_all(FsPath(path), error);
    return !fs::exists(FsPath(path), error);
}

bool PathExists(const std::string& path) {
    std::error_code error;
    return fs::exists(FsPath(path), error);
}

bool ModifiedTime(const std::string& path, int64_t* seconds) {
#ifdef _WIN32
    std::wstring wide;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!WideFromUtf8(path, &wide) || !GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data)) return false;
    const uint64_t ticks = (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                           data.ftLastWriteTime.dwLowDateTime;
    // 100-ns ticks since 1601 to seconds since 1970.
    *seconds = static_cast<int64_t>(ticks / 10000000) - 11644473600LL;
    return true;
#else
    struct stat status;
    if (stat(path.c_str(), &status) != 0) return false;
    *seconds = static_cast<int64_t>(status.st_mtime);
    return true;
#endif
}
