#include "brannock/download_pass.h"

#include <algorithm>
#include <string>
#include <vector>

#include "brannock/engine_client.h"
#include "brannock/library_module.h"
#include "brannock/text_cut.h"
#include "common/bstr.h"
#include "common/win_handles.h"

namespace {

constexpr size_t kPathSize = 260;
constexpr int kStopChecks = 80;
// The server ends by itself 5 s after its last client and 1 s more; it is terminated
// only when it is still there after this many checks.
constexpr int kGracefulStopChecks = 40;
constexpr DWORD kStopCheckMs = 250;
constexpr int kCopyAttempts = 80;
constexpr DWORD kCopyRetryMs = 250;
constexpr DWORD kBeforeDeleteMs = 1000;

struct EngineUpgrade {
    char directory[kPathSize] = {};
    bool directoryWhole = false;
    DWORD processId = 0;
    std::string files;
};

enum class PassOutcome { Installed, Failed, NewEngine };

// Through a zeroed buffer of 260 wide characters: a longer value is cut to 259.
template <typename Interface>
bool PutText(Interface* engine, HRESULT (STDMETHODCALLTYPE Interface::*setter)(BSTR), const char* text) {
    wchar_t wide[kPathSize] = {};
    const int needed = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (needed > 1) {
        std::vector<wchar_t> whole(static_cast<size_t>(needed));
        MultiByteToWideChar(CP_ACP, 0, text, -1, whole.data(), needed);
        size_t length = std::min(whole.size() - 1, kPathSize - 1);
        // Never half of a surrogate pair at the cut.
        if (length < whole.size() - 1 && IS_HIGH_SURROGATE(whole[length - 1])) --length;
        std::copy(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length), wide);
    }
    Bstr value(static_cast<const wchar_t*>(wide));
    return SUCCEEDED((engine->*setter)(value));
}

PassOutcome RunOnePass(const InstallConfig& config, EngineUpgrade* upgrade) {
    char libraryPath[kPathSize] = {};
    char libraryDirectory[kPathSize] = {};
    char downloadDirectory[kPathSize] = {};
    // A cut library path would send the module into another directory.
    const DWORD pathLength = GetModuleFileNameA(BrannockModule(), libraryPath, kPathSize);
    if (pathLength == 0 || pathLength >= kPathSize) return PassOutcome::Failed;
    const size_t directoryLength = DirectoryLength(libraryPath);
    CopyCut(libraryDirectory, directoryLength + 1, libraryPath);
    const char* libraryFile = FileNamePart(libraryPath, false);
    if (!CopyCut(downloadDirectory, kPathSize, libraryDirectory) ||
        !AppendCut(downloadDirectory, kPathSize, "/Download")) {
        return PassOutcome::Failed;
    }

    ComPtr<IHalvorin> engine;
    // A missing interface fails at the first call.
    if (CreateEngine(&engine) != EngineCreation::Created) return PassOutcome::Failed;
    IHalvorin* object = engine.Get();
    if (!PutText(object, &IHalvorin::put_appID, libraryFile) ||
        !PutText(object, &IHalvorin::put_appDirectory, libraryDirectory) ||
        !PutText(object, &IHalvorin::put_downloadDirectory, downloadDirectory) ||
        !PutText(object, &IHalvorin::put_imagePath, config.lines[kImagePathLine]) ||
        !PutText(object, &IHalvorin::put_referer, config.lines[kRefererLine]) ||
        !PutText(object, &IHalvorin::put_url, config.lines[kUrlLine]) ||
        !PutText(object, &IHalvorin::put_userName, config.lines[kUserNameLine]) ||
        !PutText(object, &IHalvorin::put_userPassword, config.lines[kPasswordLine])) {
        return PassOutcome::Failed;
    }
    // A key that was asked for is never dropped: an engine that cannot take it fails the pass.
    if (config.lines[kPublisherKeyLine][0] != '\0') {
        ComPtr<IHalvorin2> signedOnly;
        if (FAILED(object->QueryInterface(IID_IHalvorin2, signedOnly.ReceiveVoid())) ||
            !PutText(signedOnly.Get(), &IHalvorin2::put_publisherKey, config.lines[kPublisherKeyLine])) {
            return PassOutcome::Failed;
        }
    }
    BSTR directory = nullptr;
    if (FAILED(object->get_halvorinDirectory(&directory))) return PassOutcome::Failed;
    upgrade->directoryWhole = CopyCut(upgrade->directory, kPathSize, TakeAnsi(directory).c_str());
    LONG processId = 0;
    if (FAILED(object->get_processID(&processId))) return PassOutcome::Failed;
    upgrade->processId = static_cast<DWORD>(processId);

    BSTR files = nullptr;
    LONG newEngine = 0;
    if (FAILED(object->NewHalvorinNeeded(&files, &newEngine))) {
        SysFreeString(files);
        return PassOutcome::Failed;
    }
    upgrade->files = TakeAnsi(files);
    if (newEngine != 0) return PassOutcome::NewEngine;

    LONG installed = 0;
    if (FAILED(object->DownloadModule(Bstr(L"Install"), 1, &installed))) return PassOutcome::Failed;
    return installed != 0 ? PassOutcome::Installed : PassOutcome::Failed;
}

// A process that cannot be opened or read counts as ended.
bool StopServer(DWORD processId) {
    UniqueHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE, FALSE, processId));
    if (!process) return true;
    for (int check = 0;; ++check) {
        DWORD code = 0;
        if (!GetExitCodeProcess(process.get(), &code) || code != STILL_ACTIVE) return true;
        if (check == kStopChecks) return false;
        // Killed while serving, it could be cut off in the middle of another client's
        // work; so it gets the time to end by itself first.
        if (check >= kGracefulStopChecks) TerminateProcess(process.get(), 0);
        Sleep(kStopCheckMs);
    }
}

// Copies one downloaded engine file into the server's directory, then deletes the
// download whatever became of the copy.
bool InstallEngineFile(const std::string& path, const EngineUpgrade& upgrade) {
    const char* name = FileNamePart(path.c_str(), true);
    char target[kPathSize];
    // A cut target would name another file, so a path that does not fit is not copied.
    const bool fits = upgrade.directoryWhole && *name != '\0' && CopyCut(target, kPathSize, upgrade.directory) &&
                      AppendCut(target, kPathSize, name);
    bool copied = false;
    for (int attempt = 0; fits && !copied && attempt < kCopyAttempts; ++attempt) {
        if (attempt > 0) Sleep(kCopyRetryMs);
        copied = CopyFileA(path.c_str(), target, FALSE) != FALSE;
    }
    Sleep(kBeforeDeleteMs);
    const int needed = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
    if (needed > 0) {
        std::vector<wchar_t> wide(static_cast<size_t>(needed));
        MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide.data(), needed);
        DeleteFileW(wide.data());
    }
    return copied;
}

bool HandOver(const EngineUpgrade& upgrade) {
    if (!StopServer(upgrade.processId)) return false;
    for (const std::string& path : SplitPathList(upgrade.files)) {
        if (!InstallEngineFile(path, upgrade)) return false;
    }
    RunRegistration();
    return true;
}

}  // namespace

bool RunDownloadPass(const InstallConfig& config) {
    for (int handOvers = 0;; ++handOvers) {
        EngineUpgrade upgrade;
        const PassOutcome outcome = RunOnePass(config, &upgrade);
        if (outcome != PassOutcome::NewEngine) return outcome == PassOutcome::Installed;
        if (handOvers == kMaxHandOvers || !HandOver(upgrade)) return false;
    }
}
