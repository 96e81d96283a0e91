#include "files/run_and_wait.h"

#include <windows.h>
#include <shellapi.h>

#include "common/win_handles.h"

namespace {

bool CanOpenExclusively(const std::string& program) {
    UniqueHandle file(CreateFileA(program.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    return file.valid();
}

}  // namespace

bool RunAndWait(const std::string& program, const std::string& parameters,
                const std::string& directory, int showCommand, bool exclusiveOpenTest) {
    if (exclusiveOpenTest && !CanOpenExclusively(program)) return false;

    SHELLEXECUTEINFOA info = {};
    info.cbSize = sizeof(info);
    // Without FLAG_NO_UI the shell answers a missing program with a box of its own, which
    // would block the engine's thread until someone closes it; callers skip such programs.
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = "open";
    info.lpFile = program.c_str();
    info.lpParameters = parameters.empty() ? nullptr : parameters.c_str();
    info.lpDirectory = directory.empty() ? nullptr : directory.c_str();
    info.nShow = showCommand;
    const BOOL started = ShellExecuteExA(&info);
    UniqueHandle process(info.hProcess);
    if (!started || reinterpret_cast<INT_PTR>(info.hInstApp) <= 32) return false;

    // Without a process to watch (the shell handed the request on) there is nothing to wait for.
    // The handle itself tells when the process has ended: its exit code cannot, since a
    // program may well end with the code that also means "still active" (259).
    if (process.valid()) WaitForSingleObject(process.get(), INFINITE);
    return true;
}
