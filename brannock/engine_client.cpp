#include "brannock/engine_client.h"

#include <shellapi.h>

#include "common/win_handles.h"

namespace {
constexpr int kCreationAttempts = 5;
constexpr DWORD kAfterRegistrationMs = 500;
constexpr DWORD kAllContexts = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER;
}  // namespace

ComRuntime::~ComRuntime() {
    if (initialized_) CoUninitialize();
}

void ComRuntime::Initialize() {
    if (!initialized_) initialized_ = SUCCEEDED(CoInitialize(nullptr));
}

EngineCreation CreateEngine(ComPtr<IHalvorin>* engine) {
    engine->Reset();
    ComPtr<IUnknown> object;
    HRESULT result = CoCreateInstance(CLSID_Halvorin, nullptr, kAllContexts, IID_IUnknown, object.ReceiveVoid());
    if (SUCCEEDED(result)) result = OleRun(object.Get());
    if (SUCCEEDED(result)) result = object->QueryInterface(IID_IHalvorin, engine->ReceiveVoid());
    if (result == E_NOINTERFACE) {
        engine->Reset();
        return EngineCreation::NoInterface;
    }
    if (FAILED(result)) {
        engine->Reset();
        return EngineCreation::Failed;
    }
    return EngineCreation::Created;
}

void RunRegistration() {
    char directory[MAX_PATH];
    const DWORD length = GetCurrentDirectoryA(MAX_PATH, directory);
    SHELLEXECUTEINFOA run = {};
    run.cbSize = sizeof(run);
    run.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    run.lpVerb = "open";
    run.lpFile = "halvorin.exe";
    run.lpParameters = "-regserver";
    run.lpDirectory = length > 0 && length < MAX_PATH ? directory : nullptr;
    run.nShow = SW_HIDE;
    if (ShellExecuteExA(&run)) {
        // Without the wait a slow start of the registration would count as a failed
        // creation, and five of them would give up on a server that can be repaired.
        UniqueHandle process(run.hProcess);
        if (process) WaitForSingleObject(process.get(), kRegistrationWaitMs);
    }
    Sleep(kAfterRegistrationMs);
}

bool ProbeEngine(ComRuntime& com) {
    com.Initialize();
    for (int attempt = 0; attempt < kCreationAttempts; ++attempt) {
        ComPtr<IHalvorin> engine;
        if (CreateEngine(&engine) != EngineCreation::Failed) return true;
        RunRegistration();
    }
    return false;
}
