// patchw32.dll as its callers use it, under Wine: loaded at run time and bound by
// name and by ordinal 1, and linked through the import library (ordinal 1, as the
// install library binds it). Patches come from makepatch.exe, run as a process.
#include "patchlib/journal.h"
#include "patchlib/patch_format.h"
#include "patchlib/tests/patchw32_test_support.h"
#include "patchlib/tests/test_data.h"

namespace {

// The DLL on a sample tree whose patch comes from makepatch.exe.
class Patchw32 : public Patchw32Library {
protected:
    void SetUp() override {
        Patchw32Library::SetUp();
        if (HasFatalFailure()) return;
        TestRandom random(1);
        const std::vector<uint8_t> big = random.Bytes(5 << 20);
        std::vector<uint8_t> big2 = big;
        for (int i = 0; i < 200; ++i) big2[random.Below(big2.size())] ^= 0x40;
        big2.insert(big2.begin() + 1000000, 20000, 0xCC);
        old_ = {{"app.exe", big}, {"readme.txt", ToBytes("version 1\r\n")}, {"lib/", {}},
                {"lib/old.dll", random.Bytes(20000)}, {"lib/same.dll", random.Bytes(3000)}};
        new_ = {{"app.exe", big2}, {"readme.txt", ToBytes("version 2, with more text\r\n")}, {"lib/", {}},
                {"lib/same.dll", old_["lib/same.dll"]}, {"plugins/", {}}, {"plugins/extra/", {}},
                {"plugins/extra/new.dll", random.Bytes(50000)}};
        WriteTree(work_ + "\\old", old_);
        WriteTree(work_ + "\\new", new_);
        ASSERT_EQ(RunMakepatch("\"" + work_ + "\\old\" \"" + work_ + "\\new\" \"" + work_ +
                               "\\p.rtp\" --comment \"Release 2\" --copyright \"(c) Tolbeck\""),
                  0u);
        patch_ = ReadBytes(work_ + "\\p.rtp");
        ASSERT_FALSE(patch_.empty());
    }
    // A fresh copy of the old tree with the patch file inside it, as the engine has it.
    std::string Target(const std::string& name) {
        const std::string dir = work_ + "\\" + name;
        WriteTree(dir, old_);
        WriteBytes(dir + "\\p.rtp", patch_);
        return dir;
    }
    static std::string EngineCommand(const std::string& dir) { return "\"" + dir + "\" \"" + dir + "/p.rtp\""; }
    Tree WithPatch(Tree tree) {
        tree["p.rtp"] = patch_;
        return tree;
    }

    Tree old_, new_;
    std::vector<uint8_t> patch_;
};

TEST_F(Patchw32, AppliesByNameWithTheExpectedMessages) {
    const std::string dir = Target("t");
    ASSERT_EQ(byName_(EngineCommand(dir).c_str(), Callback, 1), PATCHLIB_OK);
    EXPECT_TRUE(Snapshot(dir) == WithPatch(new_));

    std::vector<uint32_t> expected = {11, 12, 6};
    ASSERT_GE(g_messages.size(), 3u);
    EXPECT_EQ(g_messages[0].text, "Release 2");
    EXPECT_EQ(g_messages[1].text, "(c) Tolbeck");
    EXPECT_EQ(g_messages[2].number, 4);  // app.exe, lib/old.dll, plugins/extra/new.dll, readme.txt
    // Per file: start, progress 0 .. 0x8000 (more steps for the large one), done.
    std::vector<std::string> started;
    const std::vector<uint32_t> ids = Ids();
    size_t progressOfApp = 0;
    for (size_t i = 3; i < g_messages.size(); ++i) {
        const Message& m = g_messages[i];
        if (m.id == PATCHLIB_MSG_FILE_START) started.push_back(m.text);
        if (m.id == PATCHLIB_MSG_FILE_PROGRESS && !started.empty() && started.back() == "app.exe") ++progressOfApp;
    }
    EXPECT_EQ(started, (std::vector<std::string>{"app.exe", "lib/old.dll", "plugins/extra/new.dll", "readme.txt"}));
    EXPECT_GE(progressOfApp, 6u);
    // The sequence without the progress repeats: 11 12 6 (7 5 8) x 4.
    std::vector<uint32_t> compact;
    for (uint32_t id : ids) {
        if (id == 5 && !compact.empty() && compact.back() == 5) continue;
        compact.push_back(id);
    }
    for (int i = 0; i < 4; ++i) expected.insert(expected.end(), {7, 5, 8});
    EXPECT_EQ(compact, expected);
    // The 5 MB file was hashed with an idle call on the way.
    EXPECT_GE(g_messages.size() - ids.size(), 1u);
    for (const Message& m : g_messages) {
        if (m.id == PATCHLIB_MSG_FILE_PROGRESS) {
            EXPECT_LE(m.number, 0x8000);
        }
    }
}

TEST_F(Patchw32, OrdinalAndImportLibraryBindTheSameEntry) {
    // Linked through the import library: bound by ordinal 1 when this program loaded.
    HMODULE linked = GetModuleHandleA("patchw32.dll");
    ASSERT_NE(linked, nullptr);
    EXPECT_EQ(reinterpret_cast<void*>(&RTPatchApply32),
              reinterpret_cast<void*>(GetProcAddress(linked, MAKEINTRESOURCEA(1))));

    const std::string dir = Target("ordinal");
    ASSERT_EQ(byOrdinal_(EngineCommand(dir).c_str(), Callback, 1), PATCHLIB_OK);
    EXPECT_TRUE(Snapshot(dir) == WithPatch(new_));
    // A null callback is allowed; the already patched tree counts as applied.
    EXPECT_EQ(RTPatchApply32(EngineCommand(dir).c_str(), nullptr, 1), PATCHLIB_OK);
    EXPECT_TRUE(Snapshot(dir) == WithPatch(new_));
}

TEST_F(Patchw32, RealProgramsRoundTrip) {
    char system[MAX_PATH];
    GetSystemDirectoryA(system, MAX_PATH);
    const std::string sys = system;
    // Pairs of real PE files standing in for old and new builds.
    const std::vector<std::pair<std::string, std::string>> pairs = {
        {sys + "\\comctl32.dll", sys + "\\shell32.dll"},
        {sys + "\\msvcrt.dll", sys + "\\ucrtbase.dll"},
        {BinDirectory() + "\\makepatch.exe", BinDirectory() + "\\patchw32.dll"},
        {BinDirectory() + "\\patchw32.dll", BinDirectory() + "\\makepatch.exe"},
    };
    Tree oldTree, newTree;
    int n = 0;
    for (const auto& [from, to] : pairs) {
        const std::string name = "bin" + std::to_string(n++) + ".dll";
        oldTree[name] = ReadBytes(from);
        newTree[name] = ReadBytes(to);
        ASSERT_FALSE(oldTree[name].empty()) << from;
        ASSERT_FALSE(newTree[name].empty()) << to;
    }
    WriteTree(work_ + "\\rold", oldTree);
    WriteTree(work_ + "\\rnew", newTree);
    ASSERT_EQ(RunMakepatch("\"" + work_ + "\\rold\" \"" + work_ + "\\rnew\" \"" + work_ + "\\r.rtp\""), 0u);
    // Programs of one machine: the executable transform serves them (format 2).
    EXPECT_EQ(ReadBytes(work_ + "\\r.rtp").at(8), 2);
    WriteTree(work_ + "\\rtarget", oldTree);
    const std::string command = "\"" + work_ + "\\rtarget\" \"" + work_ + "\\r.rtp\"";
    ASSERT_EQ(byOrdinal_(command.c_str(), Callback, 1), PATCHLIB_OK);
    EXPECT_TRUE(Snapshot(work_ + "\\rtarget") == newTree);
    // And back again, with the single-file form of makepatch.
    ASSERT_EQ(RunMakepatch("--file \"" + work_ + "\\rnew\\bin2.dll\" \"" + work_ + "\\rold\\bin2.dll\" \"" + work_ +
                           "\\back.rtp\""),
              0u);
    const std::string back = "\"" + work_ + "\\rtarget\" \"" + work_ + "\\back.rtp\"";
    ASSERT_EQ(byName_(back.c_str(), Callback, 1), PATCHLIB_OK);
    EXPECT_EQ(ReadBytes(work_ + "\\rtarget\\bin2.dll"), oldTree["bin2.dll"]);
}

TEST_F(Patchw32, StopAtFirstProgressLeavesTheOldTree) {
    const std::string dir = Target("stop");
    g_stopAtId = PATCHLIB_MSG_FILE_PROGRESS;
    EXPECT_EQ(byName_(EngineCommand(dir).c_str(), Callback, 1), PATCHLIB_ERR_STOPPED);
    EXPECT_EQ(g_messages.back().id, PATCHLIB_MSG_FILE_PROGRESS);  // nothing after the stop
    EXPECT_TRUE(Snapshot(dir) == WithPatch(old_));  // no temporary files, no new directories

    // A stop later on, after three files were rebuilt into temporary files, too.
    g_messages.clear();
    g_stopAtId = PATCHLIB_MSG_FILE_DONE;
    g_stopAtCount = 3;
    EXPECT_EQ(byName_(EngineCommand(dir).c_str(), Callback, 1), PATCHLIB_ERR_STOPPED);
    EXPECT_EQ(g_messages.back().id, PATCHLIB_MSG_FILE_DONE);
    EXPECT_TRUE(Snapshot(dir) == WithPatch(old_));
}

TEST_F(Patchw32, DamagedPatchFilesGiveMessage14AndChangeNothing) {
    const std::string dir = Target("bad");
    std::vector<std::vector<uint8_t>> damaged = {
        std::vector<uint8_t>(patch_.begin(), patch_.begin() + static_cast<long>(patch_.size() / 2)), {}};
    std::vector<uint8_t> flipped = patch_;
    flipped[flipped.size() / 2] ^= 0x01;
    damaged.push_back(flipped);
    for (const auto& bytes : damaged) {
        WriteBytes(dir + "\\bad.rtp", bytes);
        g_messages.clear();
        const std::string command = "\"" + dir + "\" \"" + dir + "\\bad.rtp\"";
        EXPECT_EQ(byName_(command.c_str(), Callback, 1), PATCHLIB_ERR_INVALID_PATCH);
        EXPECT_EQ(Ids(), std::vector<uint32_t>{PATCHLIB_MSG_INVALID_PATCH});
        Tree expected = WithPatch(old_);
        expected["bad.rtp"] = bytes;
        EXPECT_TRUE(Snapshot(dir) == expected);
    }
    DeleteFileA((dir + "\\bad.rtp").c_str());

    // Missing patch file, and command lines of neither form.
    g_messages.clear();
    EXPECT_EQ(byName_(("\"" + dir + "\" \"" + dir + "\\none.rtp\"").c_str(), Callback, 1), PATCHLIB_ERR_PATCH_FILE);
    EXPECT_EQ(Ids(), std::vector<uint32_t>{PATCHLIB_MSG_INVALID_PATCH});
    for (const char* bad : {"", "\"C:\\App\" x", "\"C:\\App\" \"p.rtp\" \"x\"", "two words.rtp"}) {
        g_messages.clear();
        EXPECT_EQ(byName_(bad, Callback, 1), PATCHLIB_ERR_COMMAND_LINE) << bad;
        EXPECT_EQ(Ids(), std::vector<uint32_t>{PATCHLIB_MSG_INVALID_PATCH});
    }
    EXPECT_EQ(byName_(nullptr, nullptr, 1), PATCHLIB_ERR_COMMAND_LINE);
    EXPECT_TRUE(Snapshot(dir) == WithPatch(old_));
}

TEST_F(Patchw32, WrongBaseVersionChangesNothing) {
    const std::string dir = Target("wrong");
    std::vector<uint8_t> edited = old_["lib/old.dll"];
    edited[10] ^= 1;
    WriteBytes(dir + "\\lib\\old.dll", edited);
    Tree expected = WithPatch(old_);
    expected["lib/old.dll"] = edited;
    EXPECT_EQ(byName_(EngineCommand(dir).c_str(), Callback, 1), PATCHLIB_ERR_WRONG_VERSION);
    EXPECT_TRUE(Snapshot(dir) == expected);
    const std::vector<uint32_t> ids = Ids();
    ASSERT_GE(ids.size(), 2u);
    EXPECT_EQ(ids[ids.size() - 2], PATCHLIB_MSG_ERROR_TITLE);
    EXPECT_NE(g_messages.back().text.find("lib/old.dll"), std::string::npos);
}

TEST_F(Patchw32, LockedFileIsRolledBack) {
    const std::string dir = Target("locked");
    // Held open without sharing: it cannot be moved aside when the new files go in.
    HANDLE held = CreateFileA((dir + "\\readme.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(byName_(EngineCommand(dir).c_str(), Callback, 1), PATCHLIB_ERR_IO);
    CloseHandle(held);
    EXPECT_TRUE(Snapshot(dir) == WithPatch(old_));

    // Read-only files are patched like any other, without leftovers.
    SetFileAttributesA((dir + "\\readme.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(byName_(EngineCommand(dir).c_str(), Callback, 1), PATCHLIB_OK);
    EXPECT_TRUE(Snapshot(dir) == WithPatch(new_));
}

// A running program (held with delete sharing, as the loader holds it) cannot be
// replaced in one step: it is moved aside and keeps running from there.
TEST_F(Patchw32, RunningProgramIsMovedAsideAndReplaced) {
    const std::string dir = Target("running");
    HANDLE running = CreateFileA((dir + "\\app.exe").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(running, INVALID_HANDLE_VALUE);
    EXPECT_EQ(byName_(EngineCommand(dir).c_str(), Callback, 1), PATCHLIB_OK);
    std::vector<uint8_t> head(4096);
    DWORD got = 0;
    EXPECT_TRUE(ReadFile(running, head.data(), static_cast<DWORD>(head.size()), &got, nullptr));
    EXPECT_TRUE(got == head.size() && std::equal(head.begin(), head.end(), old_["app.exe"].begin()));
    CloseHandle(running);
    // Its backups went with the last handle.
    EXPECT_TRUE(Snapshot(dir) == WithPatch(new_));
}

// The journal of an application killed between the fallback's two renames: the next
// application finishes it, then finds the patch applied. One that is damaged refuses.
TEST_F(Patchw32, AnInterruptedApplicationIsFinishedAndADamagedJournalRefuses) {
    const std::string dir = Target("interrupted");
    Journal journal;
    journal.state = JournalState::kCommit;
    const std::vector<uint8_t>& next = new_["app.exe"];
    journal.steps = {{JournalStepKind::kReplace, "app.exe", "app.exe.hvnew0", "app.exe.hvold0", "app.exe.hvold1",
                      next.size(), Sha256::Of(next.data(), next.size())},
                     {JournalStepKind::kDelete, "lib/old.dll", "", "lib/old.dll.hvold0", "", 0, {}}};
    ASSERT_TRUE(WriteBytes(dir + "\\app.exe.hvnew0", next));
    ASSERT_TRUE(MoveFileA((dir + "\\app.exe").c_str(), (dir + "\\app.exe.hvold1").c_str()));
    std::vector<uint8_t> bytes = WriteJournal(journal);
    bytes[bytes.size() / 2] ^= 1;
    ASSERT_TRUE(WriteBytes(dir + "\\.hvpatch-journal", bytes));
    const Tree killed = Snapshot(dir);

    EXPECT_EQ(byName_(EngineCommand(dir).c_str(), Callback, 1), PATCHLIB_ERR_JOURNAL);
    EXPECT_EQ(Ids(), (std::vector<uint32_t>{PATCHLIB_MSG_ERROR_TITLE, PATCHLIB_MSG_ERROR_TEXT}));
    EXPECT_NE(g_messages.back().text.find(".hvpatch-journal"), std::string::npos);
    EXPECT_TRUE(Snapshot(dir) == killed);

    // The directory alone settles it without a patch (the engine, before a run): the
    // journal's two steps are done, the rest of the tree is as it was, nothing is left.
    ASSERT_TRUE(WriteBytes(dir + "\\.hvpatch-journal", WriteJournal(journal)));
    EXPECT_EQ(byName_(("\"" + dir + "\"").c_str(), Callback, 1), PATCHLIB_OK);
    Tree settled = WithPatch(old_);
    settled["app.exe"] = next;
    settled.erase("lib/old.dll");
    EXPECT_TRUE(Snapshot(dir) == settled);
    EXPECT_EQ(byName_(("\"" + dir + "\"").c_str(), Callback, 1), PATCHLIB_OK) << "nothing left to settle";
    EXPECT_EQ(byName_(("\"" + dir + "\\missing\"").c_str(), Callback, 1), PATCHLIB_ERR_TARGET_DIR);
    EXPECT_EQ(byName_(EngineCommand(dir).c_str(), Callback, 1), PATCHLIB_OK);
    EXPECT_TRUE(Snapshot(dir) == WithPatch(new_));
}

TEST_F(Patchw32, BareNameAppliesToTheCurrentDirectory) {
    const std::string dir = Target("bare");
    MoveFileA((dir + "\\p.rtp").c_str(), (dir + "\\install.rtp").c_str());
    char previous[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryA(dir.c_str()));
    const uint32_t result = byOrdinal_("install.rtp", Callback, 1);
    SetCurrentDirectoryA(previous);
    EXPECT_EQ(result, PATCHLIB_OK);
    Tree expected = new_;
    expected["install.rtp"] = patch_;
    EXPECT_TRUE(Snapshot(dir) == expected);
}

// Names outside ASCII, read by makepatch.exe through the wide functions, come out
// under their own names, whatever the ANSI code page (the old tree's Ωμέγα.txt goes).
TEST_F(Patchw32, UnicodeNamesComeThroughWhole) {
    const Tree oldTree = {{"ソフト.dll", ToBytes("v1")}, {"ソフト/", {}}, {"ソフト/表示.dat", ToBytes("old")},
                          {"Ωμέγα.txt", ToBytes("gone")}, {"ア.txt", ToBytes("same")}};
    const Tree newTree = {{"ソフト.dll", ToBytes("v2")}, {"ソフト/", {}}, {"ソフト/表示.dat", ToBytes("new")},
                          {"ア.txt", ToBytes("same")}, {"ヂ.txt", ToBytes("di")}, {"チ.txt", ToBytes("chi")},
                          {"Жук/", {}}, {"Жук/😀.txt", ToBytes("emoji")}};
    WriteTree(work_ + "\\uold", oldTree);
    WriteTree(work_ + "\\unew", newTree);
    ASSERT_EQ(RunMakepatch("\"" + work_ + "\\uold\" \"" + work_ + "\\unew\" \"" + work_ + "\\u.rtp\""), 0u);
    WriteTree(work_ + "\\utarget", oldTree);
    const std::string command = "\"" + work_ + "\\utarget\" \"" + work_ + "\\u.rtp\"";
    ASSERT_EQ(byName_(command.c_str(), Callback, 1), PATCHLIB_OK);
    EXPECT_TRUE(Snapshot(work_ + "\\utarget") == newTree);
}

// Hand-made patches of added files: names that leave the target, name devices or
// name one file twice (without case, as Windows compares) are refused as a whole.
// ア, ヂ and チ are three files (in code page 932 ア and ヂ differ only in the case of
// an ASCII letter: 83 41, 83 61).
TEST_F(Patchw32, UnsafeAndCollidingNamesAreRefused) {
    const std::string dir = Target("escape");
    std::vector<std::vector<std::string>> cases = {
        {"../outside.txt"}, {"lib/../../outside.txt"}, {"C:/outside.txt"}, {"lib\\..\\..\\outside.txt"},
        {"/outside.txt"}, {"NUL"}, {"COM¹"}, {"lpt².txt"}, {"lib/Com³.log"},
        {"É.txt", "é.txt"}, {"Σ.txt", "ς.txt"}, {"Ж.txt", "ж.txt"}};
    cases.push_back({"ア.txt", "ヂ.txt", "チ.txt"});  // the one case that applies
    const std::vector<uint8_t> content = ToBytes("escaped");
    // A stored deflate block: the content as it is.
    std::vector<uint8_t> packed = {0x01, static_cast<uint8_t>(content.size()), 0,
                                   static_cast<uint8_t>(~content.size()), 0xFF};
    packed.insert(packed.end(), content.begin(), content.end());
    for (const std::vector<std::string>& names : cases) {
        PatchContents contents;
        for (const std::string& name : names) {
            PatchEntry entry;
            entry.kind = EntryKind::kAdd;
            entry.path = name;
            entry.newSize = content.size();
            entry.newHash = Sha256::Of(content.data(), content.size());
            entry.payload = packed.data();
            entry.payloadSize = packed.size();
            contents.entries.push_back(entry);
        }
        WriteBytes(work_ + "\\escape.rtp", WritePatch(contents));
        g_messages.clear();
        const std::string command = "\"" + dir + "\" \"" + work_ + "\\escape.rtp\"";
        const uint32_t result = byName_(command.c_str(), Callback, 1);
        if (&names == &cases.back()) {
            EXPECT_EQ(result, PATCHLIB_OK);
            Tree expected = WithPatch(old_);
            for (const std::string& name : names) expected[name] = content;
            EXPECT_TRUE(Snapshot(dir) == expected);
            continue;
        }
        EXPECT_EQ(result, PATCHLIB_ERR_INVALID_PATCH) << names[0];
        EXPECT_EQ(Ids(), std::vector<uint32_t>{PATCHLIB_MSG_INVALID_PATCH}) << names[0];
        EXPECT_EQ(GetFileAttributesA((work_ + "\\outside.txt").c_str()), INVALID_FILE_ATTRIBUTES) << names[0];
        EXPECT_TRUE(Snapshot(dir) == WithPatch(old_)) << names[0];
    }
}

}  // namespace
