// Helpers shared by the Windows tests: scratch directories, whole-file reads and writes,
// file times, and a second process that holds a file open without sharing.
#pragma once
#include <windows.h>

#include <string>

namespace testing_support {

// A new empty directory under the temporary directory, removed with its files on destruction.
class ScratchDirectory {
public:
    explicit ScratchDirectory(const std::string& name);
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "\\" + name; }

private:
    std::string path_;
};

std::string ReadWholeFile(const std::string& path);
bool WriteWholeFile(const std::string& path, const std::string& bytes);
bool SetLastWriteTimeUtc(const std::string& path, WORD year, WORD month, WORD day, WORD hour, WORD minute,
                         WORD second);
bool FileExists(const std::string& path);

// The directory of the running test program, with a trailing backslash.
std::string ProgramDirectory();
// Path of the helper program test_child.exe, built beside the tests.
std::string ChildProgram();

// Runs a command line and waits for it; returns its exit code, or -1 when it cannot start.
int RunProcess(const std::string& commandLine, DWORD timeoutMs = 60000);

// Another process that holds a file open with no sharing until this object goes away.
class HeldFile {
public:
    explicit HeldFile(const std::string& path);
    ~HeldFile();
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;
    bool holding() const { return holding_; }

private:
    PROCESS_INFORMATION process_ = {};
    bool holding_ = false;
};

}  // namespace testing_support
