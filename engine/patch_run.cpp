// The patch run's thread: hand-off from the client, the run, and the client's relaunch.
#include "engine/patch_run.h"

#include <windows.h>
#include <process.h>

#include <memory>
#include <vector>

#include "common/win_handles.h"
#include "engine/engine_context.h"
#include "engine/image_holder.h"
#include "engine/patch_run_state.h"

namespace {

// Gives the client up to five seconds to end by itself, then terminates it. A process
// that cannot be opened has ended already (or was never there).
void WaitForClient(int32_t processID) {
    if (processID == 0 || static_cast<DWORD>(processID) == GetCurrentProcessId()) return;
    UniqueHandle client(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, static_cast<DWORD>(processID)));
    if (!client) return;
    // Waiting on the process itself: its exit code cannot tell an ended client whose code
    // is 259 from a running one.
    for (int poll = 0; poll < kClientExitPolls; ++poll) {
        if (WaitForSingleObject(client.get(), 1000) != WAIT_TIMEOUT) return;
    }
    UniqueHandle ending(OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(processID)));
    if (ending) TerminateProcess(ending.get(), 0xFFFFFFFF);
}

// The client's command line as its whole command line, in its working directory; not
// waited for.
void StartClient(const std::string& commandLine, const std::string& workingDir) {
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                       workingDir.empty() ? nullptr : workingDir.c_str(), &startup, &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
}

unsigned __stdcall RunPatch(void* record) {
    std::unique_ptr<PatchRun> run(static_cast<PatchRun*>(record));
    EngineContext& engine = *run->engine;
    // The client is not there to be told anything but its parameters.
    FailureScope scope(run->request.silent, nullptr);
    WaitForClient(run->request.processID);
    engine.WriteLog("\r\n----StartPatch:");
    run->failed = false;
    const ImageResult current =
        GetImage(engine.imageHolder, run->url, run->imagePath, run->referer, run->userName, run->userPassword,
                 ImageTrust{run->publisherKey, engine.appID});
    run->digests = current.digests;
    if (current.fetched) {
        PerformPatch(*run, *current.image);
    } else {
        // Without the image the run can do nothing, and that is no success.
        engine.errorReport.Clear();
        engine.Report(current.failure);
        run->failed = true;
    }

    engine.WriteLog(run->failed ? "\r\nPatch process failed." : "\r\nPatch process successful.");
    StartClient(run->request.processExec + " " + (run->failed ? run->request.failParams : run->request.successParams),
                run->request.workingDir);
    run->keepAlive.Reset();
    ScopedLock guard(engine.startLock);
    engine.runInProgress = false;
    return 0;
}

}  // namespace

bool EngineContext::StartPatch(const PatchRunRequest& request, ComPtr<IUnknown> keepAlive) {
    ScopedLock guard(startLock);
    if (runInProgress) return false;  // the keep-alive reference goes with this call
    // The run works on copies: the client may change the properties while it runs.
    auto run = std::make_unique<PatchRun>();
    run->engine = this;
    run->request = request;
    run->keepAlive = std::move(keepAlive);
    run->url = url;
    run->imagePath = imagePath;
    run->referer = referer;
    run->userName = userName;
    run->userPassword = userPassword;
    run->appDirectory = appDirectory;
    run->downloadDirectory = downloadDirectory;
    run->publisherKey = publisherKey;
    UniqueHandle thread(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, RunPatch, run.get(), 0, nullptr)));
    if (!thread) return false;
    run.release();  // the thread owns it now
    runInProgress = true;
    return true;
}
