// patchw32.dll: reads the command line and the patch file and applies the patch to
// the tree with the Win32 file functions. Everything else is portable code.
#include <windows.h>

#include <string>
#include <vector>

#include "patchlib/command_line.h"
#include "patchlib/patchw32.h"
#include "patchlib/tree_apply.h"
#include "patchlib/win/win_tree_fs.h"

namespace {

// A patch file is read whole; one larger than this is not ours.
constexpr uint64_t kMaxPatchFile = 1u << 30;

class CallbackMessages : public PatchMessages {
public:
    explicit CallbackMessages(PatchLibraryCallback callback) : callback_(callback) {}
    bool Send(uint32_t id, void* parameter) override { return !callback_ || callback_(id, parameter) != nullptr; }

private:
    PatchLibraryCallback callback_;
};

std::string CurrentDirectory() {
    std::string directory(MAX_PATH, '\0');
    DWORD length = GetCurrentDirectoryA(static_cast<DWORD>(directory.size()), &directory[0]);
    if (length >= directory.size()) {
        directory.resize(length);
        length = GetCurrentDirectoryA(length, &directory[0]);
    }
    directory.resize(length < directory.size() ? length : 0);
    return directory;
}

uint32_t Apply(const char* commandLine, CallbackMessages& messages) {
    PatchCommand command;
    if (!ParsePatchCommandLine(commandLine, &command)) {
        messages.Send(PATCHLIB_MSG_INVALID_PATCH, nullptr);
        return PATCHLIB_ERR_COMMAND_LINE;
    }
    std::vector<uint8_t> patch;
    if (!ReadWholeFileA(command.patchFile, kMaxPatchFile, &patch)) {
        messages.Send(PATCHLIB_MSG_INVALID_PATCH, nullptr);
        return PATCHLIB_ERR_PATCH_FILE;
    }
    const std::string directory = command.directory.empty() ? CurrentDirectory() : command.directory;
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
