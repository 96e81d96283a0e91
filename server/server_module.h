// State of the server process: the lock count that keeps it alive, and the shutdown
// monitor that ends the message loop once the count has stayed at 0 for the idle time.
#pragma once
#include <windows.h>

namespace server_module {

constexpr DWORD kIdleMilliseconds = 5000;
constexpr DWORD kPauseAfterRevokeMilliseconds = 1000;

void Initialize(DWORD mainThreadId);

// One reason more / less to stay alive: a live object, or a client's lock on the class
// object. When the count falls to 0 the idle countdown starts (again); an Unlock at 0
// changes nothing.
LONG Lock();
LONG Unlock();
LONG LockCount();

// True once the idle shutdown has begun: new objects are then refused, since they would
// die with the server.
bool IsStopping();

// Starts the monitor thread; false when it cannot, and the server then serves without
// idle shutdown.
bool StartShutdownMonitor();

// Starts the idle countdown as if the count had just fallen to 0: for the start of the
// server, so that one that no client reaches ends too.
void StartIdleCountdown();

// Waits for the monitor thread to end and releases what it used.
void Shutdown();

}  // namespace server_module
