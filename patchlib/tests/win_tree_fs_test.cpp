// The Win32 tree's one-step replacement and second names, on real files under Wine:
// what the commit relies on, and what it meets when another program holds a file.
#include "patchlib/tests/patchw32_test_support.h"
#include "patchlib/tests/test_data.h"
#include "patchlib/tests/tree_fs_checks.h"
#include "patchlib/win/win_tree_fs.h"

namespace {

bool FileIdentity(const std::string& path, BY_HANDLE_FILE_INFORMATION* info) {
    HANDLE file = CreateFileW(Wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool ok = GetFileInformationByHandle(file, info) != 0;
    CloseHandle(file);
    return ok;
}

using WinTreeFs = Patchw32Library;

TEST_F(WinTreeFs, ReplacesInOneStepAndKeepsTheOldFileUnderASecondName) {
    const std::string dir = work_ + "\\replace";
    WriteTree(dir, {{"app.exe", ToBytes("old")}, {"app.exe.hvnew0", ToBytes("new")}, {"b.txt", ToBytes("b")}});
    WinTreeFileSystem tree(Wide(dir));

    // A hard link: one file with two names.
    ASSERT_TRUE(tree.Preserve("app.exe", "app.exe.hvold0"));
    BY_HANDLE_FILE_INFORMATION first{}, second{};
    ASSERT_TRUE(FileIdentity(dir + "\\app.exe", &first));
    ASSERT_TRUE(FileIdentity(dir + "\\app.exe.hvold0", &second));
    EXPECT_EQ(first.nNumberOfLinks, 2u);
    EXPECT_EQ(first.nFileIndexLow, second.nFileIndexLow);
    EXPECT_EQ(first.nFileIndexHigh, second.nFileIndexHigh);
    EXPECT_FALSE(tree.Preserve("b.txt", "app.exe.hvold0"));  // never over a name in use

    ASSERT_TRUE(tree.Replace("app.exe.hvnew0", "app.exe"));
    EXPECT_EQ(ReadBytes(dir + "\\app.exe"), ToBytes("new"));
    EXPECT_EQ(ReadBytes(dir + "\\app.exe.hvold0"), ToBytes("old"));
    // Onto a free name as well; from a missing file not.
    EXPECT_TRUE(tree.Replace("b.txt", "c.txt"));
    EXPECT_FALSE(tree.Replace("b.txt", "app.exe"));
    EXPECT_TRUE(Snapshot(dir) ==
                (Tree{{"app.exe", ToBytes("new")}, {"app.exe.hvold0", ToBytes("old")}, {"c.txt", ToBytes("b")}}));

    // The second name of a read-only file goes, and the file keeps its attribute.
    ASSERT_TRUE(SetFileAttributesW(Wide(dir + "\\c.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(tree.Preserve("c.txt", "c.txt.hvold0"));
    EXPECT_TRUE(tree.RemoveFile("c.txt.hvold0"));
    EXPECT_EQ(GetFileAttributesW(Wide(dir + "\\c.txt.hvold0").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(GetFileAttributesW(Wide(dir + "\\c.txt").c_str()) & FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(tree.RemoveFile("c.txt"));
}

// Held open without delete sharing, a file can be neither replaced nor moved: it gets
// no second name either, which could not be removed again while it is held. (One held
// with delete sharing, as a running program, is moved aside: Patchw32 tests.)
TEST_F(WinTreeFs, AFileHeldWithoutDeleteSharingGetsNoSecondName) {
    const std::string dir = work_ + "\\held";
    WriteTree(dir, {{"locked.dll", ToBytes("locked")}, {"locked.dll.hvnew0", ToBytes("next")}});
    WinTreeFileSystem tree(Wide(dir));
    HANDLE locked = CreateFileW(Wide(dir + "\\locked.dll").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(locked, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(tree.Preserve("locked.dll", "locked.dll.hvold0"));
    EXPECT_FALSE(tree.Replace("locked.dll.hvnew0", "locked.dll"));
    CloseHandle(locked);
    EXPECT_TRUE(Snapshot(dir) == (Tree{{"locked.dll", ToBytes("locked")}, {"locked.dll.hvnew0", ToBytes("next")}}));
}

TEST_F(WinTreeFs, NewFilesAreWrittenInPiecesAndGoneUnlessFinished) {
    const std::string dir = work_ + "\\pieces";
    WriteTree(dir, {});
    WinTreeFileSystem tree(Wide(dir));
    CheckNewFilesInPieces(tree);
}

}  // namespace
