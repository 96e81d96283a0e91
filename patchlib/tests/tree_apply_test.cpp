// Applying patches to trees: the message sequence, all-or-nothing on every kind of
// stop and failure, version checks, and a real directory on disk.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <unistd.h>

#include "patchlib/patch_format.h"
#include "patchlib/patch_maker.h"
#include "patchlib/std_tree_fs.h"
#include "patchlib/tests/memory_tree_fs.h"
#include "patchlib/tests/test_data.h"
#include "patchlib/tests/tree_fs_checks.h"
#include "patchlib/tree_apply.h"

namespace {

struct Message {
    uint32_t id;
    std::string text;     // text parameters
    int64_t number = -1;  // numeric parameters
};

class Recorder : public PatchMessages {
public:
    std::vector<Message> messages;
    size_t stopAt = 0;  // answer "stop" to this message (counted from 1); 0: never
    bool Send(uint32_t id, void* parameter) override {
        Message m{id, ""};
        switch (id) {
        case PATCHLIB_MSG_FILE_PROGRESS: m.number = *static_cast<uint16_t*>(parameter); break;
        case PATCHLIB_MSG_FILE_COUNT: m.number = *static_cast<int32_t*>(parameter); break;
        case PATCHLIB_MSG_FILE_DONE: case PATCHLIB_MSG_INVALID_PATCH: case PATCHLIB_MSG_IDLE:
            EXPECT_EQ(parameter, nullptr);
            break;
        default: m.text = static_cast<const char*>(parameter); break;
        }
        messages.push_back(m);
        return messages.size() != stopAt;
    }
    std::vector<uint32_t> Ids(bool withIdle = false) const {
        std::vector<uint32_t> ids;
        for (const Message& m : messages) {
            if (withIdle || m.id != PATCHLIB_MSG_IDLE) ids.push_back(m.id);
        }
        return ids;
    }
};

MemoryTreeFileSystem Tree(const std::map<std::string, std::vector<uint8_t>>& files) {
    return MemoryTreeFileSystem::Holding(files);
}

std::vector<uint8_t> MakePatch(MemoryTreeFileSystem oldTree, MemoryTreeFileSystem newTree, const MakeOptions& options = {}) {
    std::vector<uint8_t> patch;
    const MakeResult result = MakeTreePatch(oldTree, newTree, options, &patch);
    EXPECT_EQ(result.status, MakeStatus::kOk) << result.detail;
    return patch;
}

void ExpectSameTree(const MemoryTreeFileSystem& actual, const MemoryTreeFileSystem& expected) {
    EXPECT_TRUE(actual.files == expected.files);
    EXPECT_TRUE(actual.directories == expected.directories);
    for (const auto& f : actual.files) {
        EXPECT_TRUE(expected.files.count(f.first)) << "unexpected file " << f.first;
    }
}

class TreeApply : public ::testing::Test {
protected:
    void SetUp() override {
        TestRandom random(1);
        const std::vector<uint8_t> program = random.Bytes(1500000);
        std::vector<uint8_t> program2 = program;
        for (int i = 0; i < 40; ++i) program2[random.Below(program2.size())] ^= 0x33;
        program2.insert(program2.begin() + 700000, 5000, 0x90);
        oldFiles_ = {{"a.txt", ToBytes("first version\n")},
                     {"bin/app.exe", program},
                     {"gone.dll", random.Bytes(3000)},
                     {"same.txt", ToBytes("unchanged")}};
        newFiles_ = {{"a.txt", ToBytes("second version, longer\n")},
                     {"bin/app.exe", program2},
                     {"new/dir/file.txt", ToBytes("brand new")},
                     {"same.txt", ToBytes("unchanged")}};
        options_.comment = "Version 2";
        options_.copyright = "Copyright Tolbeck";
        patch_ = MakePatch(Tree(oldFiles_), Tree(newFiles_), options_);
    }

    std::map<std::string, std::vector<uint8_t>> oldFiles_, newFiles_;
    MakeOptions options_;
    std::vector<uint8_t> patch_;
};

TEST_F(TreeApply, ChangesTheTreeAndReportsEveryFileInOrder) {
    MemoryTreeFileSystem tree = Tree(oldFiles_);
    Recorder recorder;
    ASSERT_EQ(ApplyPatchToTree(patch_.data(), patch_.size(), tree, recorder), PATCHLIB_OK);
    ExpectSameTree(tree, Tree(newFiles_));

    const std::vector<Message>& m = recorder.messages;
    ASSERT_GE(m.size(), 3u);
    EXPECT_EQ(m[0].id, PATCHLIB_MSG_COMMENT);
    EXPECT_EQ(m[0].text, "Version 2");
    EXPECT_EQ(m[1].id, PATCHLIB_MSG_COPYRIGHT);
    EXPECT_EQ(m[1].text, "Copyright Tolbeck");
    EXPECT_EQ(m[2].id, PATCHLIB_MSG_FILE_COUNT);
    EXPECT_EQ(m[2].number, 4);
    // Then per file, in name order: start, progress from 0 up to complete, done.
    const std::vector<std::string> names = {"a.txt", "bin/app.exe", "gone.dll", "new/dir/file.txt"};
    size_t at = 3;
    for (const std::string& name : names) {
        while (at < m.size() && m[at].id == PATCHLIB_MSG_IDLE) ++at;
        ASSERT_LT(at + 3, m.size());
        EXPECT_EQ(m[at].id, PATCHLIB_MSG_FILE_START);
        EXPECT_EQ(m[at].text, name);
        ++at;
        EXPECT_EQ(m[at].id, PATCHLIB_MSG_FILE_PROGRESS);
        EXPECT_EQ(m[at].number, 0);
        int64_t last = 0;
        int steps = 0;
        for (++at; m[at].id == PATCHLIB_MSG_FILE_PROGRESS; ++at, ++steps) {
            EXPECT_GT(m[at].number, last);
            last = m[at].number;
        }
        EXPECT_EQ(last, PATCHLIB_PROGRESS_COMPLETE) << name;
        if (name == "bin/app.exe") EXPECT_GE(steps, 4) << "a large file reports progress several times";
        EXPECT_EQ(m[at].id, PATCHLIB_MSG_FILE_DONE);
        ++at;
    }
    EXPECT_EQ(at, m.size());

    // Applied once more: everything is already new, nothing changes.
    Recorder again;
    EXPECT_EQ(ApplyPatchToTree(patch_.data(), patch_.size(), tree, again), PATCHLIB_OK);
    ExpectSameTree(tree, Tree(newFiles_));
}

TEST_F(TreeApply, StopAtAnyMessageLeavesTheOldTree) {
    Recorder full;
    MemoryTreeFileSystem scratch = Tree(oldFiles_);
    ASSERT_EQ(ApplyPatchToTree(patch_.data(), patch_.size(), scratch, full), PATCHLIB_OK);
    for (size_t stop = 1; stop <= full.messages.size(); ++stop) {
        MemoryTreeFileSystem tree = Tree(oldFiles_);
        Recorder recorder;
        recorder.stopAt = stop;
        ASSERT_EQ(ApplyPatchToTree(patch_.data(), patch_.size(), tree, recorder), PATCHLIB_ERR_STOPPED) << stop;
        // At once: the stopping answer is the last message.
        EXPECT_EQ(recorder.messages.size(), stop);
        ExpectSameTree(tree, Tree(oldFiles_));
    }
}

TEST_F(TreeApply, WrongBaseVersionChangesNothing) {
    struct Case {
        const char* name;
        std::function<void(std::map<std::string, std::vector<uint8_t>>&)> change;
    };
    const std::vector<Case> cases = {
        {"patched file differs", [](auto& f) { f["bin/app.exe"][1000] ^= 1; }},
        {"patched file missing", [](auto& f) { f.erase("a.txt"); }},
        {"patched file longer", [](auto& f) { f["a.txt"].push_back('!'); }},
        {"deleted file differs", [](auto& f) { f["gone.dll"][0] ^= 1; }},
        {"added file exists", [](auto& f) { f["new/dir/file.txt"] = ToBytes("someone else's"); }},
        {"added file's directory is a file", [](auto& f) { f["new"] = ToBytes("x"); }},
    };
    for (const Case& c : cases) {
        std::map<std::string, std::vector<uint8_t>> files = oldFiles_;
        c.change(files);
        MemoryTreeFileSystem tree = Tree(files);
        Recorder recorder;
        EXPECT_EQ(ApplyPatchToTree(patch_.data(), patch_.size(), tree, recorder), PATCHLIB_ERR_WRONG_VERSION) << c.name;
        ExpectSameTree(tree, Tree(files));
        const std::vector<uint32_t> ids = recorder.Ids();
        ASSERT_GE(ids.size(), 2u);
        EXPECT_EQ(ids[ids.size() - 2], PATCHLIB_MSG_ERROR_TITLE) << c.name;
        EXPECT_EQ(ids.back(), PATCHLIB_MSG_ERROR_TEXT) << c.name;
        // Refused before any file was started.
        EXPECT_EQ(std::count(ids.begin(), ids.end(), PATCHLIB_MSG_FILE_START), 0) << c.name;
    }

    // A deleted file already gone and an added one already present count as done.
    std::map<std::string, std::vector<uint8_t>> partly = oldFiles_;
    partly.erase("gone.dll");
    partly["new/dir/file.txt"] = newFiles_["new/dir/file.txt"];
    MemoryTreeFileSystem tree = Tree(partly);
    Recorder recorder;
    EXPECT_EQ(ApplyPatchToTree(patch_.data(), patch_.size(), tree, recorder), PATCHLIB_OK);
    ExpectSameTree(tree, Tree(newFiles_));
}

TEST_F(TreeApply, FailedMovesAreRolledBack) {
    // The moves: the journal's two versions, then a.txt and bin/app.exe replaced in one
    // step each, the added file, the deleted one. A refused replacement falls back to
    // two renames, so it alone does not fail; when the files cannot be replaced at
    // all, each of those renames is a move that fails.
    struct Case {
        std::set<std::string> replaceRefused;
        std::vector<uint32_t> results;  // when move 1, 2, ... fails
    };
    const std::vector<Case> cases = {
        {{}, {PATCHLIB_ERR_IO, PATCHLIB_ERR_IO, PATCHLIB_OK, PATCHLIB_OK, PATCHLIB_ERR_IO, PATCHLIB_ERR_IO}},
        {{"a.txt", "bin/app.exe"}, std::vector<uint32_t>(8, PATCHLIB_ERR_IO)},
    };
    for (const Case& c : cases) {
        for (size_t failAt = 1; failAt <= c.results.size(); ++failAt) {
            MemoryTreeFileSystem tree = Tree(oldFiles_);
            tree.replaceRefused = c.replaceRefused;
            tree.failRenameOnly = static_cast<int>(failAt);
            Recorder recorder;
            const uint32_t result = ApplyPatchToTree(patch_.data(), patch_.size(), tree, recorder);
            EXPECT_EQ(result, c.results[failAt - 1]) << failAt;
            ExpectSameTree(tree, Tree(result == PATCHLIB_OK ? newFiles_ : oldFiles_));
            if (result != PATCHLIB_OK) EXPECT_EQ(recorder.Ids().back(), PATCHLIB_MSG_ERROR_TEXT);
        }
    }

    // When putting back fails as well, no old content is lost: it stays at its backup
    // name, and the next application finishes the patch.
    MemoryTreeFileSystem tree = Tree(oldFiles_);
    tree.failRenameFrom = 4;
    Recorder recorder;
    EXPECT_EQ(ApplyPatchToTree(patch_.data(), patch_.size(), tree, recorder), PATCHLIB_ERR_ROLLBACK);
    for (const auto& old : oldFiles_) {
        bool found = false;
        for (const auto& f : tree.files) found = found || f.second == old.second;
        EXPECT_TRUE(found) << old.first;
    }
    tree.failRenameFrom = 0;
    EXPECT_EQ(ApplyPatchToTree(patch_.data(), patch_.size(), tree, recorder), PATCHLIB_OK);
    ExpectSameTree(tree, Tree(newFiles_));
}

TEST_F(TreeApply, WriteFailureChangesNothing) {
    MemoryTreeFileSystem tree = Tree(oldFiles_);
    tree.failWrites = true;
    Recorder recorder;
    EXPECT_EQ(ApplyPatchToTree(patch_.data(), patch_.size(), tree, recorder), PATCHLIB_ERR_IO);
    tree.failWrites = false;
    ExpectSameTree(tree, Tree(oldFiles_));
}

TEST(TreeApplyEdges, EmptyFilesAndDeepDirectories) {
    const std::map<std::string, std::vector<uint8_t>> before = {
        {"empty.txt", {}}, {"becomes-empty.txt", ToBytes("content")}, {"a/b/c/d/deep.txt", ToBytes("deep")}};
    const std::map<std::string, std::vector<uint8_t>> after = {
        {"empty.txt", ToBytes("now filled")}, {"becomes-empty.txt", {}}, {"new-empty.txt", {}},
        {"x/y/z/new.txt", ToBytes("new")}};
    const std::vector<uint8_t> patch = MakePatch(Tree(before), Tree(after));
    MemoryTreeFileSystem tree = Tree(before);
    Recorder recorder;
    ASSERT_EQ(ApplyPatchToTree(patch.data(), patch.size(), tree, recorder), PATCHLIB_OK);
    EXPECT_TRUE(tree.files == Tree(after).files);
    // The deleted file's directories stay; the added file's were made.
    EXPECT_TRUE(tree.directories.count("a/b/c/d"));
    EXPECT_TRUE(tree.directories.count("x/y/z"));
}

TEST_F(TreeApply, InvalidPatchesAreRefusedWithMessage14) {
    std::vector<std::vector<uint8_t>> bad = {
        std::vector<uint8_t>(patch_.begin(), patch_.begin() + static_cast<long>(patch_.size() / 2)),
        std::vector<uint8_t>(patch_.begin(), patch_.end() - 1), ToBytes("not a patch at all"), {}};
    std::vector<uint8_t> flipped = patch_;
    flipped[flipped.size() / 3] ^= 4;
    bad.push_back(flipped);
    // Well sealed, but a name that leaves the tree.
    PatchContents escaping;
    PatchEntry entry;
    entry.kind = EntryKind::kDelete;
    entry.path = "../outside.txt";
    escaping.entries = {entry};
    bad.push_back(WritePatch(escaping));

    for (const auto& bytes : bad) {
        MemoryTreeFileSystem tree = Tree(oldFiles_);
        Recorder recorder;
        EXPECT_EQ(ApplyPatchToTree(bytes.data(), bytes.size(), tree, recorder), PATCHLIB_ERR_INVALID_PATCH);
        EXPECT_EQ(recorder.Ids(), std::vector<uint32_t>{PATCHLIB_MSG_INVALID_PATCH});
        ExpectSameTree(tree, Tree(oldFiles_));
    }

    MemoryTreeFileSystem missingRoot = Tree(oldFiles_);
    missingRoot.rootExists = false;
    Recorder recorder;
    EXPECT_EQ(ApplyPatchToTree(patch_.data(), patch_.size(), missingRoot, recorder), PATCHLIB_ERR_TARGET_DIR);
}

// The same on a real directory: nothing but the tree's own files afterwards.
TEST(TreeApplyOnDisk, NewFilesAreWrittenInPiecesAndGoneUnlessFinished) {
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("patchlib_pieces_" + std::to_string(getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    StdTreeFileSystem tree(dir.string());
    CheckNewFilesInPieces(tree);
    std::filesystem::remove_all(dir);
}

TEST(TreeApplyOnDisk, RoundTripAndStopLeaveNoStrayFiles) {
    namespace fs = std::filesystem;
    const fs::path work = fs::temp_directory_path() / ("patchlib_tree_" + std::to_string(getpid()));
    fs::remove_all(work);
    TestRandom random(8);
    auto write = [](const fs::path& path, const std::vector<uint8_t>& bytes) {
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    };
    auto snapshot = [](const fs::path& root) {
        std::map<std::string, std::vector<uint8_t>> files;
        for (const auto& e : fs::recursive_directory_iterator(root)) {
            const std::string name = fs::relative(e.path(), root).generic_string();
            if (e.is_directory()) {
                files[name + "/"];
            } else {
                std::ifstream in(e.path(), std::ios::binary);
                files[name] = std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
            }
        }
        return files;
    };
    const std::vector<uint8_t> lib = random.Bytes(400000);
    std::vector<uint8_t> lib2 = lib;
    lib2.erase(lib2.begin() + 1000, lib2.begin() + 3000);
    write(work / "old/lib/core.dll", lib);
    write(work / "old/readme.txt", ToBytes("v1"));
    write(work / "old/obsolete.cfg", ToBytes("old setting"));
    write(work / "new/lib/core.dll", lib2);
    write(work / "new/readme.txt", ToBytes("v2"));
    write(work / "new/plugins/extra/x.dll", random.Bytes(1000));

    StdTreeFileSystem oldTree((work / "old").string()), newTree((work / "new").string());
    std::vector<uint8_t> patch;
    ASSERT_EQ(MakeTreePatch(oldTree, newTree, MakeOptions(), &patch).status, MakeStatus::kOk);
    fs::copy(work / "old", work / "target", fs::copy_options::recursive);
    const auto before = snapshot(work / "target");
    StdTreeFileSystem target((work / "target").string());

    for (size_t stop : {3u, 5u, 9u, 12u}) {
        Recorder recorder;
        recorder.stopAt = stop;
        EXPECT_EQ(ApplyPatchToTree(patch.data(), patch.size(), target, recorder), PATCHLIB_ERR_STOPPED);
        EXPECT_TRUE(snapshot(work / "target") == before) << "stopped at " << stop;
    }
    // A result that fails its checksum once most of it is on disk: nothing of it stays.
    std::vector<uint8_t> lying = patch;
    ASSERT_TRUE(DamageNewHash(lying, lib2));
    Recorder lied;
    EXPECT_EQ(ApplyPatchToTree(lying.data(), lying.size(), target, lied), PATCHLIB_ERR_BAD_RESULT);
    EXPECT_TRUE(snapshot(work / "target") == before);
    Recorder recorder;
    ASSERT_EQ(ApplyPatchToTree(patch.data(), patch.size(), target, recorder), PATCHLIB_OK);
    EXPECT_TRUE(snapshot(work / "target") == snapshot(work / "new"));

    // A directory of the tree that links elsewhere is not written through.
    fs::create_directories(work / "elsewhere");
    fs::copy(work / "old", work / "linked", fs::copy_options::recursive);
    fs::rename(work / "linked/lib", work / "elsewhere/lib");
    fs::create_directory_symlink(work / "elsewhere/lib", work / "linked/lib");
    StdTreeFileSystem linked((work / "linked").string());
    Recorder refused;
    EXPECT_EQ(ApplyPatchToTree(patch.data(), patch.size(), linked, refused), PATCHLIB_ERR_WRONG_VERSION);
    EXPECT_EQ(snapshot(work / "elsewhere/lib").size(), 1u);  // still only core.dll, the old one
    EXPECT_EQ(snapshot(work / "elsewhere/lib")["core.dll"], lib);
    fs::remove_all(work);
}

}  // namespace
