// How Brannock reaches Halvorin: only through the automation runtime, by the class and
// interface identifiers of the generated interface header, calling IHalvorin through
// its virtual table. Everything runs on the calling thread.
#pragma once
#include <windows.h>

#include "common/com_ptr.h"
#include "halvorin_idl.h"

// The automation runtime of one export call: initialised by Initialize, uninitialised
// on destruction, and only when the initialisation succeeded (a host whose thread
// already runs another apartment keeps it).
class ComRuntime {
public:
    ComRuntime() = default;
    ~ComRuntime();
    ComRuntime(const ComRuntime&) = delete;
    ComRuntime& operator=(const ComRuntime&) = delete;
    void Initialize();

private:
    bool initialized_ = false;
};

enum class EngineCreation { Created, NoInterface, Failed };

// Creates the object (in any context, running), asks it for IHalvorin and keeps only
// that. NoInterface leaves engine empty but is no creation failure.
EngineCreation CreateEngine(ComPtr<IHalvorin>* engine);

// Starts "halvorin.exe -regserver" from the current directory without a window and
// waits until it has ended (at most kRegistrationWaitMs), so that the next creation
// sees the registration; then the fixed pause. Failures are ignored.
constexpr DWORD kRegistrationWaitMs = 30000;
void RunRegistration();

// Initialises com, then tries at most five times to create the object, with a
// registration run after every failed attempt. The object is only a probe and is
// released at once. False when all five attempts failed.
bool ProbeEngine(ComRuntime& com);
