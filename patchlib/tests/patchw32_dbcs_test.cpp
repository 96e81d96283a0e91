// patchw32.dll under a double-byte ANSI code page (932: a Wine session started with a
// Japanese locale; skipped elsewhere). A target directory and a patch file whose
// names hold the byte 0x5C, both command-line forms, patches from makepatch.exe and
// from the native makepatch, and the texts handed back in the caller's code page.
#include <cstdlib>

#include "patchlib/patch_format.h"
#include "patchlib/tests/patchw32_test_support.h"
#include "patchlib/tests/test_data.h"

namespace {

const std::string kSoft = "ソフト";  // 83 5C 83 74 83 67 in code page 932
const std::string kTable = "表";      // 95 5C

bool ExpectDbcs() { return std::getenv("HALVORIN_EXPECT_DBCS") != nullptr; }

class Patchw32Dbcs : public Patchw32Library {
protected:
    void SetUp() override {
        CPINFO info = {};
        if (!GetCPInfo(CP_ACP, &info) || info.MaxCharSize != 2 || !IsDBCSLeadByte(0x83)) {
            if (ExpectDbcs()) FAIL() << "code page " << GetACP() << " is not DBCS";
            GTEST_SKIP() << "code page " << GetACP() << " has no double-byte characters";
        }
        Patchw32Library::SetUp();
    }

    // Applies patch to copies of oldTree in a directory named 表, once in each
    // command-line form, and checks the tree and the texts the callback got.
    void ApplyInBothForms(const Tree& oldTree, const Tree& newTree, const std::vector<uint8_t>& patch) {
        PatchContents contents;
        ASSERT_EQ(ReadPatch(patch.data(), patch.size(), &contents), PatchReadStatus::kOk);
        ASSERT_FALSE(contents.comment.empty());
        std::vector<std::string> names;
        for (const PatchEntry& entry : contents.entries) names.push_back(entry.path);
        const std::string patchName = kSoft + ".rtp";
        for (int form = 0; form < 2; ++form) {
            const std::string parent = work_ + "\\form" + std::to_string(form);
            const std::string dir = parent + "\\" + kTable;
            CreateDirectoryW(Wide(parent).c_str(), nullptr);
            WriteTree(dir, oldTree);
            Tree expected = newTree;
            g_messages.clear();
            uint32_t result;
            if (form == 0) {
                // The engine's form, with a separator after 表 (whose second byte is 0x5C).
                WriteBytes(parent + "\\" + patchName, patch);
                const std::string command = Ansi("\"" + dir + "\\\" \"" + parent + "\\" + patchName + "\"");
                ASSERT_FALSE(command.empty());
                result = byName_(command.c_str(), Callback, 1);
            } else {
                // A bare name in the current directory, as the install library passes it.
                WriteBytes(dir + "\\" + patchName, patch);
                expected[patchName] = patch;
                wchar_t previous[MAX_PATH];
                GetCurrentDirectoryW(MAX_PATH, previous);
                ASSERT_TRUE(SetCurrentDirectoryW(Wide(dir).c_str()));
                result = byOrdinal_(Ansi(patchName).c_str(), Callback, 1);
                SetCurrentDirectoryW(previous);
            }
            EXPECT_EQ(result, PATCHLIB_OK) << "form " << form;
            EXPECT_TRUE(Snapshot(dir) == expected) << "form " << form;
            EXPECT_EQ(Texts(PATCHLIB_MSG_FILE_START), names) << "form " << form;
            EXPECT_EQ(Texts(PATCHLIB_MSG_COMMENT), std::vector<std::string>{contents.comment}) << "form " << form;
        }
    }
};

TEST_F(Patchw32Dbcs, PatchFromMakepatchExeAppliesInBothForms) {
    const Tree oldTree = {{kSoft + ".dll", ToBytes("version 1")}, {kSoft + "/", {}},
                          {kSoft + "/表示.dat", ToBytes("old")}, {"ア.txt", ToBytes("a")}};
    const Tree newTree = {{kSoft + ".dll", ToBytes("version 2")}, {kSoft + "/", {}},
                          {kSoft + "/表示.dat", ToBytes("new")}, {"ア.txt", ToBytes("a")},
                          {"ヂ.txt", ToBytes("di")}, {"チ.txt", ToBytes("chi")}};
    WriteTree(work_ + "\\old", oldTree);
    WriteTree(work_ + "\\new", newTree);
    const std::string patchFile = work_ + "\\" + kSoft + ".rtp";
    ASSERT_EQ(RunMakepatch("\"" + work_ + "\\old\" \"" + work_ + "\\new\" \"" + patchFile + "\" --comment \"版 2\""),
              0u);
    const std::vector<uint8_t> patch = ReadBytes(patchFile);
    ApplyInBothForms(oldTree, newTree, patch);

    // A refusal names the file in the caller's code page too.
    Tree edited = oldTree;
    edited[kSoft + "/表示.dat"] = ToBytes("edited");
    const std::string dir = work_ + "\\" + kTable;
    WriteTree(dir, edited);
    g_messages.clear();
    const std::string command = Ansi("\"" + dir + "\" \"" + patchFile + "\"");
    EXPECT_EQ(byName_(command.c_str(), Callback, 1), PATCHLIB_ERR_WRONG_VERSION);
    const std::vector<std::string> errors = Texts(PATCHLIB_MSG_ERROR_TEXT);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find(kSoft + "/表示.dat"), std::string::npos) << errors[0];
    EXPECT_TRUE(Snapshot(dir) == edited);
}

// HALVORIN_NATIVE_PATCH: the Windows path of a directory with old/, new/ and
// native.rtp, which the native makepatch made from old/ and new/ (names in UTF-8).
TEST_F(Patchw32Dbcs, PatchFromNativeMakepatchAppliesInBothForms) {
    const char* made = std::getenv("HALVORIN_NATIVE_PATCH");
    if (!made) {
        if (ExpectDbcs()) FAIL() << "HALVORIN_NATIVE_PATCH is not set";
        GTEST_SKIP() << "no patch from the native makepatch";
    }
    const std::string from = made;
    const Tree newTree = Snapshot(from + "\\new");
    ASSERT_TRUE(newTree.count(kSoft + "/表示.dat"));
    ApplyInBothForms(Snapshot(from + "\\old"), newTree, ReadBytes(from + "\\native.rtp"));
}

}  // namespace
