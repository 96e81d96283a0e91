#include "server/tests/server_process.h"

#include <tlhelp32.h>

#include <vector>

#include "common/win_handles.h"
#include "tests/helpers/test_support.h"

namespace server_testing {

std::string HalvorinPath() { return testing_support::ProgramDirectory() + "halvorin.exe"; }

ChildProcess::~ChildProcess() {
    Terminate();
    if (thread_) CloseHandle(thread_);
    if (process_) CloseHandle(process_);
}

bool ChildProcess::Start(const std::string& commandLine, DWORD flags, HANDLE output) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    if (output != nullptr) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = INVALID_HANDLE_VALUE;
        startup.hStdOutput = output;
        startup.hStdError = INVALID_HANDLE_VALUE;
    }
    const BOOL inherit = output != nullptr && output != INVALID_HANDLE_VALUE;
    PROCESS_INFORMATION started = {};
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, inherit, flags, nullptr, nullptr, &startup,
                        &started)) {
        return false;
    }
    process_ = started.hProcess;
    thread_ = started.hThread;
    id_ = started.dwProcessId;
    server_ = commandLine.find("halvorin.exe") != std::string::npos;
    return true;
}

void ChildProcess::Resume() {
    if (thread_) ResumeThread(thread_);
}

bool ChildProcess::WaitForExit(DWORD timeoutMs) {
    return process_ != nullptr && WaitForSingleObject(process_, timeoutMs) == WAIT_OBJECT_0;
}

DWORD ChildProcess::ExitCode() const {
    DWORD code = STILL_ACTIVE;
    if (process_) GetExitCodeProcess(process_, &code);
    return code;
}

void ChildProcess::Terminate() {
    if (process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
        TerminateProcess(process_, 1);
        WaitForSingleObject(process_, 10000);
        if (server_) ResetClassTableUnderWine();
    }
}

long RunHalvorin(const std::string& arguments, DWORD timeoutMs) {
    ChildProcess process;
    if (!process.Start("\"" + HalvorinPath() + "\" " + arguments)) return -1;
    if (!process.WaitForExit(timeoutMs)) return -1;
    return static_cast<long>(process.ExitCode());
}

namespace {

std::vector<DWORD> ProcessIds(const char* exeName) {
    std::vector<DWORD> ids;
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.valid()) return ids;
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32First(snapshot.get(), &entry); more; more = Process32Next(snapshot.get(), &entry)) {
        if (lstrcmpiA(entry.szExeFile, exeName) == 0) ids.push_back(entry.th32ProcessID);
    }
    return ids;
}

bool Terminate(DWORD id) {
    UniqueHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
    if (!process.valid() || !TerminateProcess(process.get(), 1)) return false;
    WaitForSingleObject(process.get(), 10000);
    return true;
}

}  // namespace

void ResetClassTableUnderWine() {
    if (!RunningUnderWine()) return;
    for (DWORD id : ProcessIds("rpcss.exe")) Terminate(id);
}

bool RunningUnderWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::string RunningServers() {
    std::string text;
    for (DWORD id : ProcessIds("halvorin.exe")) text += std::to_string(id) + " ";
    return text;
}

int EndProcessesNamed(const char* exeName, DWORD graceMs) {
    std::vector<UniqueHandle> running;
    for (DWORD id : ProcessIds(exeName)) {
        running.emplace_back(OpenProcess(SYNCHRONIZE, FALSE, id));
    }
    const DWORD start = GetTickCount();
    for (auto& process : running) {
        if (!process.valid()) continue;
        const DWORD spent = GetTickCount() - start;
        WaitForSingleObject(process.get(), spent < graceMs ? graceMs - spent : 0);
    }
    int terminated = 0;
    for (DWORD id : ProcessIds(exeName)) {
        if (Terminate(id)) ++terminated;
    }
    return terminated;
}

int EndLeftoverServers(DWORD graceMs) {
    const int terminated = EndProcessesNamed("halvorin.exe", graceMs);
    if (terminated > 0) ResetClassTableUnderWine();
    return terminated;
}

bool KeyExists(HKEY root, const std::string& path, REGSAM view) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

}  // namespace server_testing
