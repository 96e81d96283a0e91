// Helpers of the patchw32.dll tests under Wine: trees on disk (names in UTF-8, written
// and read through the wide file functions), makepatch.exe as a process, and a
// callback that records what the library tells its caller.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "patchlib/patchw32.h"

using Tree = std::map<std::string, std::vector<uint8_t>>;  // "dir/" entries for directories

inline std::wstring Wide(const std::string& utf8) {
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], length);
    return wide;
}

inline std::string Utf8(const std::wstring& wide) {
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &utf8[0], length, nullptr, nullptr);
    return utf8;
}

// A text as the library's callers write it, in the ANSI code page; empty when the code
// page lacks one of its characters.
inline std::string Ansi(const std::string& utf8) {
    const std::wstring wide = Wide(utf8);
    BOOL lossy = FALSE;
    const int length =
        WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, &lossy);
    std::string ansi(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), &ansi[0], length, nullptr, &lossy);
    return lossy ? std::string() : ansi;
}

inline std::string Utf8FromAnsi(const std::string& ansi) {
    const int length = MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), &wide[0], length);
    return Utf8(wide);
}

inline std::string BinDirectory() {
    wchar_t path[MAX_PATH];
    const std::string text = Utf8(std::wstring(path, GetModuleFileNameW(nullptr, path, MAX_PATH)));
    return text.substr(0, text.find_last_of("\\/"));
}

inline bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    for (size_t slash = path.find_first_of("\\/", 3); slash != std::string::npos;
         slash = path.find_first_of("\\/", slash + 1)) {
        CreateDirectoryW(Wide(path.substr(0, slash)).c_str(), nullptr);
    }
    FILE* file = _wfopen(Wide(path).c_str(), L"wb");
    if (!file) return false;
    const bool ok = bytes.empty() || fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return fclose(file) == 0 && ok;
}

inline std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::vector<uint8_t> bytes;
    FILE* file = _wfopen(Wide(path).c_str(), L"rb");
    if (!file) return bytes;
    uint8_t buffer[65536];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) bytes.insert(bytes.end(), buffer, buffer + got);
    fclose(file);
    return bytes;
}

inline void Snapshot(const std::string& root, const std::string& relative, Tree* tree) {
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(Wide(root + (relative.empty() ? "" : "\\" + relative) + "\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const std::string name = Utf8(found.cFileName);
        if (name == "." || name == "..") continue;
        const std::string child = relative.empty() ? name : relative + "/" + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            (*tree)[child + "/"];
            Snapshot(root, child, tree);
        } else {
            (*tree)[child] = ReadBytes(root + "\\" + child);
        }
    } while (FindNextFileW(find, &found));
    FindClose(find);
}

inline Tree Snapshot(const std::string& root) {
    Tree tree;
    Snapshot(root, "", &tree);
    return tree;
}

inline void WriteTree(const std::string& root, const Tree& tree) {
    CreateDirectoryW(Wide(root).c_str(), nullptr);
    for (const auto& [name, bytes] : tree) {
        std::string path = root + "\\" + name;
        if (name.back() == '/') {
            CreateDirectoryW(Wide(path).c_str(), nullptr);
        } else {
            ASSERT_TRUE(WriteBytes(path, bytes)) << path;
        }
    }
}

inline std::string TempDirectory() {
    wchar_t temp[MAX_PATH];
    const DWORD length = GetTempPathW(MAX_PATH, temp);
    return length && length < MAX_PATH ? Utf8(std::wstring(temp, length)) : std::string();
}

// Only below the temporary directory: an empty root would name the root of a drive.
inline void RemoveTree(const std::string& root) {
    const std::string temp = TempDirectory();
    if (temp.empty() || root.size() <= temp.size() || root.compare(0, temp.size(), temp) != 0) return;
    Tree tree = Snapshot(root);
    for (auto it = tree.rbegin(); it != tree.rend(); ++it) {
        const std::wstring path = Wide(root + "\\" + it->first);
        if (it->first.back() == '/') {
            RemoveDirectoryW(path.substr(0, path.size() - 1).c_str());
        } else {
            SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(path.c_str());
        }
    }
    RemoveDirectoryW(Wide(root).c_str());
}

// Runs makepatch.exe with a Unicode command line; its exit code.
inline DWORD RunMakepatch(const std::string& arguments) {
    std::wstring command = Wide("\"" + BinDirectory() + "\\makepatch.exe\" " + arguments);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                        &process)) {
        return 999;
    }
    WaitForSingleObject(process.hProcess, 120000);
    DWORD code = 998;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

// What the callback saw, and when it says stop.
struct Message {
    uint32_t id;
    std::string text;  // as the callback got it: in the ANSI code page
    long number;
};
inline std::vector<Message> g_messages;
inline uint32_t g_stopAtId = 0;  // answer null to the g_stopAtCount-th message with this id; 0: never
inline int g_stopAtCount = 1;
inline char g_answer[4] = "";

inline void* __stdcall Callback(uint32_t id, void* parameter) {
    Message m{id, "", -1};
    if (id == PATCHLIB_MSG_FILE_PROGRESS) m.number = *static_cast<uint16_t*>(parameter);
    if (id == PATCHLIB_MSG_FILE_COUNT) m.number = *static_cast<int32_t*>(parameter);
    if (id == PATCHLIB_MSG_FILE_START || id == PATCHLIB_MSG_COMMENT || id == PATCHLIB_MSG_COPYRIGHT ||
        id == PATCHLIB_MSG_ERROR_TITLE || id == PATCHLIB_MSG_ERROR_TEXT) {
        m.text = static_cast<const char*>(parameter);
    }
    g_messages.push_back(m);
    if (g_stopAtId && id == g_stopAtId && --g_stopAtCount == 0) {
        g_stopAtId = 0;
        return nullptr;
    }
    return g_answer;
}

inline std::vector<uint32_t> Ids() {
    std::vector<uint32_t> ids;
    for (const Message& m : g_messages) {
        if (m.id != PATCHLIB_MSG_IDLE) ids.push_back(m.id);
    }
    return ids;
}

// The texts of every message with this id, back in UTF-8.
inline std::vector<std::string> Texts(uint32_t id) {
    std::vector<std::string> texts;
    for (const Message& m : g_messages) {
        if (m.id == id) texts.push_back(Utf8FromAnsi(m.text));
    }
    return texts;
}

// patchw32.dll loaded at run time, and a work directory of this process.
class Patchw32Library : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(TempDirectory().empty());
        work_ = TempDirectory() + "patchw32_test_" + std::to_string(GetCurrentProcessId());
        library_ = LoadLibraryW(Wide(BinDirectory() + "\\patchw32.dll").c_str());
        ASSERT_NE(library_, nullptr);
        byName_ = reinterpret_cast<PatchApplyEntry>(
            reinterpret_cast<void*>(GetProcAddress(library_, PATCHLIB_ENTRY_NAME)));
        byOrdinal_ = reinterpret_cast<PatchApplyEntry>(
            reinterpret_cast<void*>(GetProcAddress(library_, MAKEINTRESOURCEA(PATCHLIB_ENTRY_ORDINAL))));
        ASSERT_NE(byName_, nullptr);
        ASSERT_EQ(byName_, byOrdinal_);
        RemoveTree(work_);
        CreateDirectoryW(Wide(work_).c_str(), nullptr);
        g_messages.clear();
        g_stopAtId = 0;
        g_stopAtCount = 1;
    }
    void TearDown() override {
        if (library_) FreeLibrary(library_);
        if (!work_.empty()) RemoveTree(work_);
    }

    HMODULE library_ = nullptr;
    PatchApplyEntry byName_ = nullptr, byOrdinal_ = nullptr;
    std::string work_;
};
