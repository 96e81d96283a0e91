#include "tools/makepatch/tool_io.h"

#ifdef _WIN32
#include <windows.h>
#include <io.h>
#include <shellapi.h>

#include "common/win_handles.h"
#include "patchlib/win/win_text.h"
#include "patchlib/win/win_tree_fs.h"
#else
#include <sys/stat.h>

#include "patchlib/std_tree_fs.h"
#endif

#include "patchlib/delta.h"

namespace {

// Above this an input is refused (the patch format's own limit).
constexpr uint64_t kMaxInput = kDeltaMaxSize;

#ifdef _WIN32
// The argument vector of CommandLineToArgvW, which LocalFree releases.
struct LocalArgvTraits {
    using Handle = LPWSTR*;
    static Handle Invalid() { return nullptr; }
    static bool IsValid(Handle h) { return h != nullptr; }
    static void Close(Handle h) { LocalFree(h); }
};
using UniqueArgv = UniqueResource<LocalArgvTraits>;

// False for a path that is not UTF-8; no file has that name.
bool Wide(const std::string& path, std::wstring* wide) { return !path.empty() && WideFromUtf8(path, wide); }

DWORD Attributes(const std::string& path) {
    std::wstring wide;
    return Wide(path, &wide) ? GetFileAttributesW(wide.c_str()) : INVALID_FILE_ATTRIBUTES;
}
#endif

bool Exists(const std::string& path) {
#ifdef _WIN32
    return Attributes(path) != INVALID_FILE_ATTRIBUTES;
#else
    struct stat info;
    return stat(path.c_str(), &info) == 0;
#endif
}

FILE* OpenForWriting(const std::string& path) {
#ifdef _WIN32
    std::wstring wide;
    return Wide(path, &wide) ? _wfopen(wide.c_str(), L"wb") : nullptr;
#else
    return fopen(path.c_str(), "wb");
#endif
}

void Remove(const std::string& path) {
#ifdef _WIN32
    std::wstring wide;
    if (Wide(path, &wide)) DeleteFileW(wide.c_str());
#else
    remove(path.c_str());
#endif
}

bool ReplaceFile(const std::string& from, const std::string& to) {
#ifdef _WIN32
    std::wstring wideFrom, wideTo;
    return Wide(from, &wideFrom) && Wide(to, &wideTo) &&
           MoveFileExW(wideFrom.c_str(), wideTo.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
#else
    return rename(from.c_str(), to.c_str()) == 0;
#endif
}

}  // namespace

bool ProgramArguments(int argc, char** argv, std::vector<std::string>* arguments) {
    arguments->clear();
#ifdef _WIN32
    (void)argc;
    (void)argv;
    int count = 0;
    UniqueArgv wide(CommandLineToArgvW(GetCommandLineW(), &count));
    if (!wide) return false;
    for (int i = 1; i < count; ++i) arguments->push_back(Utf8FromWide(wide.get()[i]));
#else
    arguments->assign(argv + (argc > 0 ? 1 : 0), argv + argc);
#endif
    return true;
}

bool ReadInputFile(const std::string& path, std::vector<uint8_t>* bytes) {
#ifdef _WIN32
    std::wstring wide;
    return Wide(path, &wide) && ReadWholeFile(wide, kMaxInput, bytes);
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
        if (ok) {
            bytes->resize(static_cast<size_t>(size));
            ok = fread(bytes->data(), 1, bytes->size(), file) == bytes->size();
        }
    }
    uint8_t buffer[4096];
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
    const DWORD attributes = Attributes(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
#else
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
#endif
}

OutputFile::~OutputFile() {
    if (file_) fclose(file_);
    if (!temporary_.empty()) Remove(temporary_);
}

bool OutputFile::Open(const std::string& path) {
    std::string temporary;
    for (unsigned n = 0;; ++n) {
        temporary = path + ".part" + std::to_string(n);
        if (!Exists(temporary)) break;
    }
    file_ = OpenForWriting(temporary);
    if (!file_) return false;
    path_ = path;
    temporary_ = temporary;
    return true;
}

bool OutputFile::Write(const uint8_t* data, size_t size) {
    failed_ = failed_ || !file_ || (size && fwrite(data, 1, size, file_) != size);
    return !failed_;
}

bool OutputFile::Commit() {
    if (!file_) return false;
    bool ok = !failed_ && fflush(file_) == 0;
    ok = fclose(file_) == 0 && ok;
    file_ = nullptr;
    if (!ok || !ReplaceFile(temporary_, path_)) return false;
    temporary_.clear();
    return true;
}

bool WriteOutputFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    OutputFile file;
    return file.Open(path) && file.Write(bytes.data(), bytes.size()) && file.Commit();
}

std::unique_ptr<TreeFileSystem> OpenTree(const std::string& root) {
#ifdef _WIN32
    std::wstring wide;
    if (!Wide(root, &wide)) return nullptr;
    return std::make_unique<WinTreeFileSystem>(wide);
#else
    return std::make_unique<StdTreeFileSystem>(root);
#endif
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void PrintText(FILE* stream, const std::string& text) {
#ifdef _WIN32
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode, written;
    std::wstring wide;
    if (handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) && WideFromUtf8(text, &wide)) {
        fflush(stream);
        WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
    }
#endif
    fputs(text.c_str(), stream);
}
