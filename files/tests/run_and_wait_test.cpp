// Starting real programs through the shell and waiting for them; directory helpers.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <memory>
#include <thread>

#include "files/run_and_wait.h"
#include "files/system_paths.h"
#include "tests/helpers/test_support.h"

using namespace testing_support;

TEST(RunAndWait, WaitsForTheProgramToEndInItsDirectory) {
    ScratchDirectory dir("run");
    const std::string marker = dir.File("marker.txt");
    const DWORD start = GetTickCount();
    ASSERT_TRUE(RunAndWait(ChildProgram(), "sleep 1500 \"" + marker + "\"", dir.path(), SW_SHOWNORMAL, false));
    EXPECT_GE(GetTickCount() - start, 1400u);
    ASSERT_TRUE(FileExists(marker));  // written just before the program ended
    EXPECT_EQ(0, _stricmp(dir.path().c_str(), ReadWholeFile(marker).c_str()));
}

// 259 is also the value that reads "still active" from a running process's exit code.
TEST(RunAndWait, AProgramThatEndsWithCode259HasEnded) {
    auto returned = std::make_shared<std::atomic<bool>>(false);
    std::thread([returned] {
        RunAndWait(ChildProgram(), "exit 259", "", SW_HIDE, false);
        *returned = true;
    }).detach();  // left behind, should it hang
    for (int i = 0; i < 500 && !*returned; ++i) Sleep(10);
    EXPECT_TRUE(*returned) << "RunAndWait still waits for a program that has ended";
}

TEST(RunAndWait, TheExclusiveOpenTestSkipsAHeldProgram) {
    ScratchDirectory dir("run-held");
    // A copy of the helper program, held open by another process.
    const std::string program = dir.File("held_child.exe");
    ASSERT_TRUE(CopyFileA(ChildProgram().c_str(), program.c_str(), FALSE));
    const std::string marker = dir.File("marker.txt");
    {
        HeldFile held(program);
        ASSERT_TRUE(held.holding());
        EXPECT_FALSE(RunAndWait(program, "sleep 0 \"" + marker + "\"", dir.path(), SW_HIDE, true));
        Sleep(300);
        EXPECT_FALSE(FileExists(marker));  // nothing was started
    }
    EXPECT_TRUE(RunAndWait(program, "sleep 0 \"" + marker + "\"", dir.path(), SW_HIDE, true));
    EXPECT_TRUE(FileExists(marker));
}

TEST(RunAndWait, AMissingProgramIsNotStarted) {
    ScratchDirectory dir("run-missing");
    EXPECT_FALSE(RunAndWait(dir.File("nothing.exe"), "", "", SW_HIDE, false));
    EXPECT_FALSE(RunAndWait(dir.File("nothing.exe"), "", "", SW_HIDE, true));
}

TEST(SystemPaths, ExpandAndCreateDirectoryChains) {
    char system[MAX_PATH] = "";
    ASSERT_GT(GetSystemDirectoryA(system, sizeof(system)), 0u);
    EXPECT_EQ(std::string(system) + "\\a.dll", ExpandSystemPath("%system%\\a.dll"));
    EXPECT_EQ("x%SYSTEM%y", ExpandSystemPath("x%SYSTEM%y"));
    EXPECT_EQ("", ExpandSystemPath(""));

    ScratchDirectory dir("chain");
    CreateDirectoryChain(dir.path() + "\\a/b\\c\\");
    EXPECT_TRUE(FileExists(dir.File("a\\b\\c")));
    // The last component is created only when the path ends with a separator.
    CreateDirectoryChain(dir.path() + "\\x\\y");
    EXPECT_TRUE(FileExists(dir.File("x")));
    EXPECT_FALSE(FileExists(dir.File("x\\y")));
    CreateDirectoryChain(dir.path() + "\\a\\b\\c\\");  // existing directories are no error
    EXPECT_TRUE(FileExists(dir.File("a\\b\\c")));
}
