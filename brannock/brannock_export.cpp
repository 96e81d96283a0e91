#include "brannock/brannock_export.h"

#include <cstdio>
#include <memory>

#include "brannock/brannock.h"
#include "brannock/config_file.h"
#include "brannock/download_pass.h"
#include "brannock/engine_client.h"
#include "brannock/install_dialog.h"
#include "brannock/library_module.h"
#include "brannock/text_cut.h"

namespace {

constexpr size_t kLongPathSize = 1024;
constexpr DWORD kShortPathSize = 260;
constexpr int kHostCopyAttempts = 5;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// False (and an empty path) when the name does not fit: a cut one would name another file.
bool ModuleFileName(HMODULE module, char (&path)[kLongPathSize]) {
    const DWORD length = GetModuleFileNameA(module, path, kLongPathSize);
    if (length == 0 || length >= kLongPathSize) path[0] = '\0';
    return path[0] != '\0';
}

// The host program is copied beside the library unless it already runs from there. A
// copy that does not exist yet has no short form and is made.
void CopyHostProgram(const char* hostPath, const char* hostCopyPath) {
    char hostShort[kShortPathSize];
    char copyShort[kShortPathSize];
    const DWORD hostLength = GetShortPathNameA(hostPath, hostShort, kShortPathSize);
    if (hostLength == 0 || hostLength >= kShortPathSize) return;
    const DWORD copyLength = GetShortPathNameA(hostCopyPath, copyShort, kShortPathSize);
    if (copyLength > 0 && copyLength < kShortPathSize && lstrcmpiA(hostShort, copyShort) == 0) return;
    for (int attempt = 0; attempt < kHostCopyAttempts; ++attempt) {
        if (CopyFileA(hostPath, hostCopyPath, FALSE)) return;
    }
}

}  // namespace

LONG RunWebInstall() {
    char libraryPath[kLongPathSize];
    char libraryDirectory[kLongPathSize];
    char hostPath[kLongPathSize];
    char hostCopyPath[kLongPathSize];
    // Without its own directory the library cannot find the Config.Ins beside it.
    if (!ModuleFileName(BrannockModule(), libraryPath)) return BRANNOCK_NO_CONFIG;
    CopyCut(libraryDirectory, DirectoryLength(libraryPath) + 1, libraryPath);
    SetCurrentDirectoryA(libraryDirectory);

    // A cut host copy path would name another file: then no copy is made.
    if (ModuleFileName(nullptr, hostPath) && CopyCut(hostCopyPath, kLongPathSize, libraryDirectory) &&
        AppendCut(hostCopyPath, kLongPathSize, "\\") &&
        AppendCut(hostCopyPath, kLongPathSize, FileNamePart(hostPath, false))) {
        CopyHostProgram(hostPath, hostCopyPath);
    }

    InstallConfig config;
    {
        FilePtr file(std::fopen("Config.Ins", "rt"));
        if (!file) return BRANNOCK_NO_CONFIG;
        if (!ReadInstallConfig(file.get(), &config)) return BRANNOCK_SHORT_CONFIG;
    }

    ComRuntime com;
    if (!ProbeEngine(com)) return BRANNOCK_NO_SERVER;
    if (!RunDownloadPass(config)) return BRANNOCK_DOWNLOAD_FAILED;
    // No Halvorin object is held while the dialog runs: the server ends on its own.
    return RunInstallDialog();
}
