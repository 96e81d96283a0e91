#include "patchlib/win/win_tree_fs.h"

#include <windows.h>

#include <algorithm>

#include "common/win_handles.h"
#include "patchlib/win/win_text.h"

namespace {

constexpr DWORD kPiece = 1 << 20;

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

UniqueHandle OpenForReading(const std::wstring& path) {
    return UniqueHandle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

bool ReadExactly(HANDLE file, uint8_t* data, size_t size) {
    while (size) {
        DWORD got = 0;
        const DWORD want = static_cast<DWORD>(std::min<size_t>(size, kPiece));
        if (!::ReadFile(file, data, want, &got, nullptr) || got == 0) return false;
        data += got;
        size -= got;
    }
    return true;
}

}  // namespace

bool ReadWholeFile(const std::wstring& path, uint64_t maxSize, std::vector<uint8_t>* bytes) {
    UniqueHandle file = OpenForReading(path);
    LARGE_INTEGER size;
    if (!file || !GetFileSizeEx(file.get(), &size) || static_cast<uint64_t>(size.QuadPart) > maxSize ||
        static_cast<uint64_t>(size.QuadPart) > SIZE_MAX) {
        return false;
    }
    bytes->resize(static_cast<size_t>(size.QuadPart));
    return ReadExactly(file.get(), bytes->data(), bytes->size());
}

WinTreeFileSystem::WinTreeFileSystem(std::wstring root) : root_(std::move(root)) {
    // "C:\App\" and "C:\App" name the same tree; a drive root keeps its separator.
    // Stripped on UTF-16, where a '\' is always a separator (in a double-byte code
    // page it can be the second byte of a character).
    while (root_.size() > 1 && IsSeparator(root_.back()) && !(root_.size() == 3 && root_[1] == L':')) {
        root_.pop_back();
    }
}

bool WinTreeFileSystem::Full(const std::string& path, std::wstring* full) const {
    *full = root_;
    if (path.empty()) return true;
    std::wstring relative;
    if (!WideFromUtf8(path, &relative)) return false;
    if (full->empty() || !IsSeparator(full->back())) *full += L'\\';
    for (wchar_t c : relative) *full += c == L'/' ? L'\\' : c;
    return true;
}

TreeFileSystem::Kind WinTreeFileSystem::Stat(const std::string& path, uint64_t* size) {
    std::wstring full;
    if (!Full(path, &full)) return Kind::kOther;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(full.c_str(), GetFileExInfoStandard, &data)) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Kind::kMissing : Kind::kOther;
    }
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        // A junction or directory link inside the tree could lead a write outside it.
        if (!path.empty() && (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) return Kind::kOther;
        return Kind::kDirectory;
    }
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) return Kind::kOther;
    if (size) *size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return Kind::kFile;
}

bool WinTreeFileSystem::ReadFile(const std::string& path, uint64_t maxSize, std::vector<uint8_t>* bytes) {
    std::wstring full;
    return Full(path, &full) && ReadWholeFile(full, maxSize, bytes);
}

bool WinTreeFileSystem::ReadPieces(const std::string& path, const std::function<bool(const uint8_t*, size_t)>& sink) {
    std::wstring full;
    if (!Full(path, &full)) return false;
    UniqueHandle file = OpenForReading(full);
    if (!file) return false;
    std::vector<uint8_t> buffer(kPiece);
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(file.get(), buffer.data(), kPiece, &got, nullptr)) return false;
        if (got == 0) return true;
        if (!sink(buffer.data(), got)) return false;
    }
}

namespace {

class WinNewFile : public TreeFileSystem::NewFile {
public:
    WinNewFile(UniqueHandle file, std::wstring path) : file_(std::move(file)), path_(std::move(path)) {}
    ~WinNewFile() override {
        if (!file_) return;
        file_.reset();
        DeleteFileW(path_.c_str());
    }
    bool Write(const uint8_t* data, size_t size) override {
        while (file_ && size) {
            DWORD written = 0;
            const DWORD want = static_cast<DWORD>(std::min<size_t>(size, kPiece));
            if (!::WriteFile(file_.get(), data, want, &written, nullptr) || written != want) return false;
            data += want;
            size -= want;
        }
        return static_cast<bool>(file_);
    }
    bool Finish() override {
        // On disk before it replaces anything.
        if (!file_) return false;
        const bool flushed = FlushFileBuffers(file_.get()) != 0;
        file_.reset();
        if (!flushed) DeleteFileW(path_.c_str());
        return flushed;
    }

private:
    UniqueHandle file_;
    std::wstring path_;
};

}  // namespace

bool WinTreeFileSystem::WriteNewFile(const std::string& path, const uint8_t* data, size_t size) {
    const std::unique_ptr<NewFile> file = CreateNewFile(path);
    return file && file->Write(data, size) && file->Finish();
}

std::unique_ptr<TreeFileSystem::NewFile> WinTreeFileSystem::CreateNewFile(const std::string& path) {
    std::wstring full;
    if (!Full(path, &full)) return nullptr;
    UniqueHandle file(CreateFileW(full.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return nullptr;
    return std::make_unique<WinNewFile>(std::move(file), std::move(full));
}

bool WinTreeFileSystem::Rename(const std::string& from, const std::string& to) {
    std::wstring fullFrom, fullTo;
    // Without MOVEFILE_REPLACE_EXISTING the move fails when the target exists.
    return Full(from, &fullFrom) && Full(to, &fullTo) &&
           MoveFileExW(fullFrom.c_str(), fullTo.c_str(), MOVEFILE_WRITE_THROUGH) != 0;
}

bool WinTreeFileSystem::Replace(const std::string& from, const std::string& to) {
    std::wstring fullFrom, fullTo;
    if (!Full(from, &fullFrom) || !Full(to, &fullTo)) return false;
    const DWORD flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    if (MoveFileExW(fullFrom.c_str(), fullTo.c_str(), flags)) return true;
    // Windows will not replace a read-only file; a read-only old file is replaced
    // like any other, and keeps its attribute when even that fails.
    const DWORD attributes = GetFileAttributesW(fullTo.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY) ||
        (attributes & FILE_ATTRIBUTE_DIRECTORY) ||
        !SetFileAttributesW(fullTo.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
        return false;
    }
    if (MoveFileExW(fullFrom.c_str(), fullTo.c_str(), flags)) return true;
    SetFileAttributesW(fullTo.c_str(), attributes);
    return false;
}

bool WinTreeFileSystem::Preserve(const std::string& from, const std::string& to) {
    std::wstring fullFrom, fullTo;
    if (!Full(from, &fullFrom) || !Full(to, &fullTo)) return false;
    {
        // A file held open without delete sharing can be neither replaced nor moved,
        // and a second name of it could not be removed again while it is held.
        UniqueHandle movable(CreateFileW(fullFrom.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!movable) return false;
    }
    if (CreateHardLinkW(fullTo.c_str(), fullFrom.c_str(), nullptr)) return true;
    // No hard links here (FAT, some network shares): a copy, on disk before it counts.
    if (!CopyFileW(fullFrom.c_str(), fullTo.c_str(), TRUE)) return false;
    // The copy takes the old file's attributes; a read-only one is opened for the
    // flush without it for a moment.
    const DWORD attributes = GetFileAttributesW(fullTo.c_str());
    const bool readOnly = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
    if (readOnly) SetFileAttributesW(fullTo.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    bool flushed;
    {
        UniqueHandle copy(CreateFileW(fullTo.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                      nullptr));
        flushed = copy && FlushFileBuffers(copy.get());
    }
    if (readOnly) SetFileAttributesW(fullTo.c_str(), attributes);
    if (!flushed) RemoveFile(to);
    return flushed;
}

bool WinTreeFileSystem::RemoveFile(const std::string& path) {
    std::wstring full;
    if (!Full(path, &full)) return false;
    if (DeleteFileW(full.c_str())) return true;
    // A read-only file must still go (the backup of a read-only old file). Its
    // attribute is cleared only for the removal: a backup that is a hard link shares
    // it with the old file, which keeps it when the commit is undone.
    const DWORD attributes = GetFileAttributesW(full.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY) ||
        (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return false;
    }
    UniqueHandle file(CreateFileW(full.c_str(), DELETE | FILE_WRITE_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    FILE_BASIC_INFO basic{};  // times of 0 stay as they are
    basic.FileAttributes = attributes & ~FILE_ATTRIBUTE_READONLY;
    if (!basic.FileAttributes) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    if (!file || !SetFileInformationByHandle(file.get(), FileBasicInfo, &basic, sizeof basic)) return false;
    FILE_DISPOSITION_INFO disposition{TRUE};
    const bool removed = SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition, sizeof disposition);
    basic.FileAttributes = attributes;
    SetFileInformationByHandle(file.get(), FileBasicInfo, &basic, sizeof basic);
    return removed;
}

bool WinTreeFileSystem::MakeDirectory(const std::string& path) {
    std::wstring full;
    return Full(path, &full) && CreateDirectoryW(full.c_str(), nullptr) != 0;
}

bool WinTreeFileSystem::RemoveEmptyDirectory(const std::string& path) {
    std::wstring full;
    return Full(path, &full) && RemoveDirectoryW(full.c_str()) != 0;
}

bool WinTreeFileSystem::ListFiles(std::vector<std::string>* paths) { return ListBelow("", paths); }

bool WinTreeFileSystem::ListBelow(const std::string& relative, std::vector<std::string>* paths) {
    std::wstring full;
    if (!Full(relative, &full)) {
        paths->push_back(relative);
        return true;
    }
    full += !full.empty() && IsSeparator(full.back()) ? L"*" : L"\\*";
    WIN32_FIND_DATAW found;
    UniqueFindHandle find(FindFirstFileW(full.c_str(), &found));
    if (!find) return GetLastError() == ERROR_FILE_NOT_FOUND;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::string child = relative.empty() ? Utf8FromWide(name) : relative + "/" + Utf8FromWide(name);
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (!ListBelow(child, paths)) return false;
        } else {
            paths->push_back(child);
        }
    } while (FindNextFileW(find.get(), &found));
    return GetLastError() == ERROR_NO_MORE_FILES;
}
