#include "server/server_module.h"

#include "common/win_handles.h"

namespace server_module {

namespace {

struct ModuleState {
    volatile LONG lockCount = 0;
    volatile LONG activity = 0;  // set when the count falls to 0, cleared at each wait
    volatile LONG stopping = 0;  // set once the monitor has decided to end the server
    DWORD mainThreadId = 0;
    // Kept open until Shutdown: a late release after the monitor has ended still signals it safely.
    UniqueHandle shutdownEvent;
    UniqueHandle monitorThread;
};

ModuleState& State() {
    static ModuleState state;
    return state;
}

DWORD WINAPI MonitorShutdown(void*) {
    ModuleState& state = State();
    for (;;) {
        WaitForSingleObject(state.shutdownEvent.get(), INFINITE);
        DWORD wait;
        do {
            InterlockedExchange(&state.activity, 0);
            wait = WaitForSingleObject(state.shutdownEvent.get(), kIdleMilliseconds);
        } while (wait == WAIT_OBJECT_0);
        if (InterlockedCompareExchange(&state.activity, 0, 0) == 0 &&
            InterlockedCompareExchange(&state.lockCount, 0, 0) == 0) {
            // A creation that reserved the server just now wins: it either sees the flag
            // and is refused, or its lock is seen here and the server serves on.
            InterlockedExchange(&state.stopping, 1);
            if (InterlockedCompareExchange(&state.lockCount, 0, 0) == 0) break;
            InterlockedExchange(&state.stopping, 0);
        }
    }
    PostThreadMessageA(state.mainThreadId, WM_QUIT, 0, 0);
    return 0;
}

}  // namespace

void Initialize(DWORD mainThreadId) { State().mainThreadId = mainThreadId; }

LONG Lock() { return InterlockedIncrement(&State().lockCount); }

LONG Unlock() {
    ModuleState& state = State();
    // An unbalanced unlock (a client's extra LockServer(FALSE)) must not take the count
    // below 0: the count would then never fall to 0 again and the server never end.
    LONG count = InterlockedCompareExchange(&state.lockCount, 0, 0);
    for (;;) {
        if (count <= 0) return 0;
        const LONG seen = InterlockedCompareExchange(&state.lockCount, count - 1, count);
        if (seen == count) break;
        count = seen;
    }
    --count;
    if (count == 0) {
        InterlockedExchange(&state.activity, 1);
        if (state.shutdownEvent.valid()) SetEvent(state.shutdownEvent.get());
    }
    return count;
}

void StartIdleCountdown() {
    ModuleState& state = State();
    if (InterlockedCompareExchange(&state.lockCount, 0, 0) != 0) return;
    InterlockedExchange(&state.activity, 1);
    if (state.shutdownEvent.valid()) SetEvent(state.shutdownEvent.get());
}

bool IsStopping() { return InterlockedCompareExchange(&State().stopping, 0, 0) != 0; }

LONG LockCount() { return InterlockedCompareExchange(&State().lockCount, 0, 0); }

bool StartShutdownMonitor() {
    ModuleState& state = State();
    state.shutdownEvent.reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    if (!state.shutdownEvent.valid()) return false;
    state.monitorThread.reset(CreateThread(nullptr, 0, MonitorShutdown, nullptr, 0, nullptr));
    if (!state.monitorThread.valid()) {
        state.shutdownEvent.reset();
        return false;
    }
    return true;
}

void Shutdown() {
    ModuleState& state = State();
    if (state.monitorThread.valid() && WaitForSingleObject(state.monitorThread.get(), 1000) != WAIT_OBJECT_0) {
        // The loop ended without the monitor (it still waits for the event): its handles
        // must outlive it, so they are left to the end of the process.
        state.monitorThread.release();
        state.shutdownEvent.release();
        return;
    }
    state.monitorThread.reset();
    state.shutdownEvent.reset();
}

}  // namespace server_module
