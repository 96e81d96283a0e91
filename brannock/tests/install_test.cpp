// The export Install in a host program that loads Brannock.dll afresh for each test: a
// four-file patch from makepatch.exe, applied by patchw32.dll in Brannock's dialog. Also
// run in a French Wine session (HALVORIN_EXPECT_FRENCH=1).
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "brannock/brannock.h"
#include "brannock/tests/install_recorder.h"
#include "common/win_handles.h"
#include "tests/helpers/test_support.h"

using namespace testing_support;

namespace {

const char* const kNames[] = {"a-large.bin", "b.dat", "c.cfg", "sub\\d.txt"};

// The first file by name is large enough for progress messages within it.
std::string Content(const std::string& name, int release) {
    std::string bytes(name == kNames[0] ? 700000 : 5000, '\0');
    unsigned x = static_cast<unsigned>(name.size());
    for (char& c : bytes) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 16);
    for (size_t at = 0; at + 8 < bytes.size(); at += bytes.size() / 4) bytes.replace(at, 8, "release" + std::to_string(release));
    return bytes;
}

bool Release(const std::string& directory, int release, bool write) {
    CreateDirectoryA((directory + "\\sub").c_str(), nullptr);
    for (const char* name : kNames) {
        const std::string path = directory + "\\" + name;
        if (write ? !WriteWholeFile(path, Content(name, release)) : ReadWholeFile(path) != Content(name, release)) return false;
    }
    return true;
}

class InstallTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(library_.valid());
        ASSERT_TRUE(Release(old_.path(), 1, true) && Release(new_.path(), 2, true) && Release(target_.path(), 1, true));
        ASSERT_EQ(0, RunProcess("\"" + ProgramDirectory() + "makepatch.exe\" \"" + old_.path() + "\" \"" + new_.path() +
                                "\" \"" + target_.File("install.rtp") + "\""));
        GetCurrentDirectoryA(MAX_PATH, previous_);
        ASSERT_TRUE(SetCurrentDirectoryA(target_.path().c_str()));
    }
    void TearDown() override { SetCurrentDirectoryA(previous_); }
    FARPROC Export(const char* name) { return GetProcAddress(library_.get(), name); }
    LONG Install() {
        return reinterpret_cast<BrannockExport>(reinterpret_cast<void*>(Export(MAKEINTRESOURCEA(1))))();
    }

    UniqueLibrary library_{LoadLibraryA((ProgramDirectory() + "Brannock.dll").c_str())};
    ScratchDirectory old_{"install-old"}, new_{"install-new"}, target_{"install-target"};
    char previous_[MAX_PATH] = "";
};

TEST_F(InstallTest, FourFilesMoveTheOverallBarThroughQuartersInACentredTopmostDialog) {
    EXPECT_EQ(Export("Install"), Export(MAKEINTRESOURCEA(BRANNOCK_INSTALL_ORDINAL)));
    EXPECT_EQ(Export("Brannock"), Export(MAKEINTRESOURCEA(BRANNOCK_BRANNOCK_ORDINAL)));
    InstallRecorder seen;
    EXPECT_EQ(BRANNOCK_INSTALLED, Install());
    EXPECT_TRUE(Release(target_.path(), 2, false));

    const std::vector<int>& overall = seen.overallBar;
    EXPECT_TRUE(std::is_sorted(overall.begin(), overall.end()));
    for (const int quarter : {25, 50, 75, 100}) {
        EXPECT_NE(overall.end(), std::find(overall.begin(), overall.end(), quarter)) << quarter;
    }
    EXPECT_TRUE(std::any_of(overall.begin(), overall.end(), [](int v) { return v > 0 && v < 25; }));
    EXPECT_EQ(100, overall.back());
    EXPECT_EQ(0x8000, seen.fileBar.back());
    EXPECT_EQ((std::vector<std::string>{"a-large.bin", "b.dat", "c.cfg", "sub/d.txt"}), seen.fileNames);

    const bool french = std::getenv("HALVORIN_EXPECT_FRENCH") != nullptr;
    EXPECT_EQ(french ? "Installation du module" : "Installing Package", seen.title);
    EXPECT_EQ(french ? "Installation en cours..." : "Currently Installing....", seen.status);
    EXPECT_EQ(french ? "Annuler" : "Cancel", seen.cancelText);
    EXPECT_TRUE(seen.topmost);
    EXPECT_EQ((GetSystemMetrics(SM_CXSCREEN) - seen.client.right) / 2, seen.window.left);
    EXPECT_EQ((GetSystemMetrics(SM_CYSCREEN) - seen.client.bottom) / 2, seen.window.top);
    EXPECT_EQ(0x8000, seen.fileRange.high);
    EXPECT_EQ(100, seen.overallRange.high);
}

TEST_F(InstallTest, CancelAtTheFirstProgressMessageStopsThisInstallAndTheNext) {
    {
        InstallRecorder seen(true);
        EXPECT_EQ(BRANNOCK_CANCELLED, Install());
        EXPECT_EQ(1u, seen.fileNames.size()) << "stopped within the first file";
    }
    InstallRecorder seen;
    EXPECT_EQ(BRANNOCK_PATCH_FAILED, Install());
    EXPECT_TRUE(seen.sawDialog);
    EXPECT_TRUE(seen.fileNames.empty());
    EXPECT_TRUE(Release(target_.path(), 1, false));
}

TEST_F(InstallTest, AMissingPatchFileGivesThree) {
    ASSERT_TRUE(DeleteFileA(target_.File("install.rtp").c_str()));
    InstallRecorder seen;
    EXPECT_EQ(BRANNOCK_PATCH_FAILED, Install());
    EXPECT_TRUE(seen.sawDialog);
    EXPECT_TRUE(Release(target_.path(), 1, false));
}

}  // namespace
