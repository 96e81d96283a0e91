// patchw32.dll: reads the command line and the patch file and applies the patch to
// the tree with the Win32 wide file functions. Everything else is portable code.
// Callers speak the system's ANSI code page, the patch speaks UTF-8: the command
// line is turned into UTF-16 on the way in, the callback's texts into ANSI on the
// way out.
#include <windows.h>

#include <string>
#include <vector>

#include "patchlib/command_line.h"
#include "patchlib/patchw32.h"
#include "patchlib/tree_apply.h"
#include "patchlib/win/win_text.h"
#include "patchlib/win/win_tree_fs.h"

namespace {

// A patch file is read whole; one larger than this is not ours.
constexpr uint64_t kMaxPatchFile = 1u << 30;

bool IsTextMessage(uint32_t id) {
    switch (id) {
    case PATCHLIB_MSG_WARNING_TITLE: case PATCHLIB_MSG_WARNING_TEXT: case PATCHLIB_MSG_ERROR_TITLE:
    case PATCHLIB_MSG_ERROR_TEXT: case PATCHLIB_MSG_FILE_START: case PATCHLIB_MSG_PROGRESS_TEXT:
    case PATCHLIB_MSG_HELP_TEXT: case PATCHLIB_MSG_COMMENT: case PATCHLIB_MSG_COPYRIGHT:
    case PATCHLIB_MSG_PATCH_DIALOG: case PATCHLIB_MSG_NEXT_DISK: case PATCHLIB_MSG_SEARCHING:
        return true;
    default:
        return false;
    }
}

class CallbackMessages : public PatchMessages {
public:
    explicit CallbackMessages(PatchLibraryCallback callback) : callback_(callback) {}
    bool Send(uint32_t id, void* parameter) override {
        if (!callback_) return true;
        if (!IsTextMessage(id) || !parameter) return callback_(id, parameter) != nullptr;
        // The caller gets a writable copy of its own, in its code page.
        const std::string ansi = AnsiFromUtf8(static_cast<const char*>(parameter));
        std::vector<char> copy(ansi.begin(), ansi.end());
        copy.push_back('\0');
        return callback_(id, copy.data()) != nullptr;
    }

private:
    PatchLibraryCallback callback_;
};

std::wstring CurrentDirectory() {
    std::wstring directory(MAX_PATH, L'\0');
    DWORD length = GetCurrentDirectoryW(static_cast<DWORD>(directory.size()), &directory[0]);
    if (length >= directory.size()) {
        directory.resize(length);
        length = GetCurrentDirectoryW(length, &directory[0]);
    }
    directory.resize(length < directory.size() ? length : 0);
    return directory;
}

// The command line in UTF-16, parsed as UTF-8 (in which '"' and blanks never occur
// inside a character).
bool ParseCommand(const char* commandLine, std::wstring* directory, std::wstring* patchFile) {
    std::wstring wide;
    PatchCommand command;
    return commandLine && WideFromAnsi(commandLine, &wide) &&
           ParsePatchCommandLine(Utf8FromWide(wide).c_str(), &command) && WideFromUtf8(command.directory, directory) &&
           WideFromUtf8(command.patchFile, patchFile);
}

uint32_t Apply(const char* commandLine, CallbackMessages& messages) {
    std::wstring directory, patchFile;
    if (!ParseCommand(commandLine, &directory, &patchFile)) {
        messages.Send(PATCHLIB_MSG_INVALID_PATCH, nullptr);
        return PATCHLIB_ERR_COMMAND_LINE;
    }
    if (patchFile.empty()) {
        if (directory.empty()) return PATCHLIB_ERR_TARGET_DIR;
        WinTreeFileSystem tree(directory);
        return SettleTree(tree, messages);
    }
    std::vector<uint8_t> patch;
    if (!ReadWholeFile(patchFile, kMaxPatchFile, &patch)) {
        messages.Send(PATCHLIB_MSG_INVALID_PATCH, nullptr);
        return PATCHLIB_ERR_PATCH_FILE;
    }
    if (directory.empty()) directory = CurrentDirectory();
    if (directory.empty()) return PATCHLIB_ERR_TARGET_DIR;
    WinTreeFileSystem tree(directory);
    return ApplyPatchToTree(patch.data(), patch.size(), tree, messages);
}

}  // namespace

extern "C" uint32_t __stdcall RTPatchApply32(const char* commandLine, PatchLibraryCallback callback, uint32_t flags) {
    (void)flags;
    CallbackMessages messages(callback);
    try {
        return Apply(commandLine, messages);
    } catch (...) {
        // Only allocation can throw here; nothing may cross into the caller.
        return PATCHLIB_ERR_NO_MEMORY;
    }
}
