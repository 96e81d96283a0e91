// Helpers for the tests that run the real halvorin.exe: started processes that never
// outlive the test, leftover servers, and registry keys in either registry view.
#pragma once
#include <windows.h>

#include <string>

namespace server_testing {

// halvorin.exe beside the test program.
std::string HalvorinPath();

// A started process; terminated on destruction when it is still running (a halvorin.exe
// so ended also resets the class table, see EndLeftoverServers).
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // CREATE_SUSPENDED in flags leaves it to Resume(). An output handle other than null
    // becomes the process's standard output (INVALID_HANDLE_VALUE: it gets none at all).
    bool Start(const std::string& commandLine, DWORD flags = 0, HANDLE output = nullptr);
    void Resume();
    // True when the process ended within the time.
    bool WaitForExit(DWORD timeoutMs);
    bool Running() { return process_ != nullptr && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }
    DWORD ExitCode() const;
    void Terminate();

    HANDLE handle() const { return process_; }
    DWORD id() const { return id_; }

private:
    HANDLE process_ = nullptr;
    HANDLE thread_ = nullptr;
    DWORD id_ = 0;
    bool server_ = false;
};

// Runs halvorin.exe with the arguments and waits for it; its exit code, or -1 when it
// could not start or did not end within the time (it is then terminated).
long RunHalvorin(const std::string& arguments, DWORD timeoutMs = 60000);

// Process ids of every running halvorin.exe, as "pid pid ..." for messages.
std::string RunningServers();

// Gives every running halvorin.exe up to graceMs to end by itself (a server in its idle
// time does), then terminates the rest. Returns how many had to be terminated.
//
// Wine keeps the class registration of a server that was killed while serving, and every
// later activation in that session then fails with RPC_S_SERVER_UNAVAILABLE; so tests end
// their servers through the idle shutdown and terminate one only as a last resort, after
// which the class table (Wine's rpcss.exe, started again on demand) is reset too.
int EndLeftoverServers(DWORD graceMs = 15000);

// Gives every running process of that program name up to graceMs to end by itself, then
// terminates the rest; how many had to be terminated. Under Wine a program that a killed
// process had just started (the expand tool of a killed engine) may never end by itself,
// and would keep the test's output open.
int EndProcessesNamed(const char* exeName, DWORD graceMs);

// After a server was killed: under Wine, forgets its class registration, which Windows
// drops by itself when the process ends.
void ResetClassTableUnderWine();

bool RunningUnderWine();

// view: 0, KEY_WOW64_32KEY or KEY_WOW64_64KEY.
bool KeyExists(HKEY root, const std::string& path, REGSAM view = 0);

}  // namespace server_testing
