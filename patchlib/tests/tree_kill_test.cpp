// A process killed at any moment of an application: the tree stays whole, and the
// next application (of the same patch or another) finishes or undoes it; a journal
// that cannot be trusted refuses and touches nothing.
#include <gtest/gtest.h>

#include "patchlib/journal.h"
#include "patchlib/patch_maker.h"
#include "patchlib/patch_path.h"
#include "patchlib/tests/memory_tree_fs.h"
#include "patchlib/tests/test_data.h"
#include "patchlib/tree_apply.h"

namespace {

using Files = std::map<std::string, std::vector<uint8_t>>;

// The tree of a process that dies after a number of changes: from then on every
// operation fails and changes nothing, reads included, so nothing the dying
// application does afterwards reaches the tree below.
class DyingTreeFileSystem : public TreeFileSystem {
public:
    DyingTreeFileSystem(TreeFileSystem& below, size_t changesLeft) : below_(below), left_(changesLeft) {}
    size_t changes = 0;

    Kind Stat(const std::string& p, uint64_t* size) override { return left_ ? below_.Stat(p, size) : Kind::kOther; }
    bool ReadFile(const std::string& p, uint64_t max, std::vector<uint8_t>* bytes) override {
        return left_ && below_.ReadFile(p, max, bytes);
    }
    bool ReadPieces(const std::string& p, const std::function<bool(const uint8_t*, size_t)>& sink) override {
        return left_ && below_.ReadPieces(p, sink);
    }
    bool ListFiles(std::vector<std::string>* paths) override { return left_ && below_.ListFiles(paths); }
    bool WriteNewFile(const std::string& p, const uint8_t* data, size_t size) override {
        return Change() && below_.WriteNewFile(p, data, size);
    }
    bool Rename(const std::string& from, const std::string& to) override { return Change() && below_.Rename(from, to); }
    bool Replace(const std::string& from, const std::string& to) override { return Change() && below_.Replace(from, to); }
    bool Preserve(const std::string& from, const std::string& to) override { return Change() && below_.Preserve(from, to); }
    bool RemoveFile(const std::string& p) override { return Change() && below_.RemoveFile(p); }
    bool MakeDirectory(const std::string& p) override { return Change() && below_.MakeDirectory(p); }
    bool RemoveEmptyDirectory(const std::string& p) override { return Change() && below_.RemoveEmptyDirectory(p); }

private:
    bool Change() {
        if (!left_) return false;
        --left_;
        ++changes;
        return true;
    }
    TreeFileSystem& below_;
    size_t left_;
};

class Quiet : public PatchMessages {
public:
    std::vector<uint32_t> ids;
    bool Send(uint32_t id, void*) override {
        ids.push_back(id);
        return true;
    }
};

uint32_t Apply(const std::vector<uint8_t>& patch, TreeFileSystem& tree, Quiet* quiet = nullptr) {
    Quiet own;
    return ApplyPatchToTree(patch.data(), patch.size(), tree, quiet ? *quiet : own);
}

bool HasCommitJournal(MemoryTreeFileSystem& tree) {
    auto it = tree.files.find(kJournalName);
    Journal journal;
    return it != tree.files.end() && ReadJournal(it->second.data(), it->second.size(), &journal) &&
           journal.state == JournalState::kCommit;
}

bool Holds(const Files& files, const std::string& name, const std::vector<uint8_t>& bytes) {
    auto it = files.find(name);
    return it != files.end() && it->second == bytes;
}

class TreeKill : public ::testing::Test {
protected:
    void SetUp() override {
        TestRandom random(3);
        v1_ = {{"app.exe", FakeProgram(random, 60)},        {"bin/core.dll", random.Bytes(9000)},
               {"bin/plugins/ui.dll", random.Bytes(5000)}, {"data/readme.txt", ToBytes("release 1")},
               {"gone/old.cfg", ToBytes("obsolete")},      {"same.txt", ToBytes("unchanged")}};
        v2_ = v1_;
        v2_["app.exe"].insert(v2_["app.exe"].begin() + 100, 300, 0x90);
        v2_["bin/core.dll"][77] ^= 1;
        v2_["bin/plugins/ui.dll"].resize(4000);
        v2_["data/readme.txt"] = ToBytes("release 2, longer");
        v2_.erase("gone/old.cfg");
        v2_["extra/new/tool.dll"] = random.Bytes(3000);
        v3_ = v2_;
        v3_["app.exe"][5] ^= 0x40;
        v3_["data/readme.txt"] = ToBytes("release 3");
        patch12_ = Make(v1_, v2_);
        patch23_ = Make(v2_, v3_);
    }

    static std::vector<uint8_t> Make(const Files& from, const Files& to) {
        MemoryTreeFileSystem a = MemoryTreeFileSystem::Holding(from), b = MemoryTreeFileSystem::Holding(to);
        std::vector<uint8_t> patch;
        EXPECT_EQ(MakeTreePatch(a, b, MakeOptions(), &patch).status, MakeStatus::kOk);
        return patch;
    }

    // What the application of patch12_ meets besides the kill.
    struct Trouble {
        const char* what;
        std::set<std::string> replaceRefused;
        bool lastMoveFails = false;  // the commit fails at its last move and is undone
    };

    // The tree of an application of patch12_ killed after n changes, and the changes
    // it made (all of them when n is SIZE_MAX).
    std::pair<MemoryTreeFileSystem, size_t> KilledAfter(size_t n, const Trouble& trouble) {
        MemoryTreeFileSystem tree = MemoryTreeFileSystem::Holding(v1_);
        tree.replaceRefused = trouble.replaceRefused;
        if (trouble.lastMoveFails) {
            MemoryTreeFileSystem clean = tree;
            EXPECT_EQ(Apply(patch12_, clean), PATCHLIB_OK);
            tree.failRenameOnly = clean.renames;
        }
        DyingTreeFileSystem dying(tree, n);
        const uint32_t result = Apply(patch12_, dying);
        if (n == SIZE_MAX) EXPECT_EQ(result, trouble.lastMoveFails ? PATCHLIB_ERR_IO : PATCHLIB_OK);
        tree.replaceRefused.clear();
        tree.failRenameOnly = 0;
        return {tree, dying.changes};
    }

    // Every file of the patch is old or new, and every other one is the application's
    // own, with the content its name stands for. A patched file is never missing, but
    // between the two renames that stand in for a refused replacement, which only the
    // commit journal makes good.
    void ExpectWhole(MemoryTreeFileSystem& tree, size_t n, const std::set<std::string>& refused) {
        for (const auto& [name, bytes] : v2_) {
            if (v1_.count(name) && !tree.files.count(name)) {
                EXPECT_TRUE(refused.count(name) && HasCommitJournal(tree) && tree.files.count(name + ".hvnew0") &&
                            tree.files.count(name + ".hvold1"))
                    << name << " missing after a kill at " << n;
            }
        }
        for (const auto& [name, bytes] : tree.files) {
            const size_t dot = name.rfind(".hv");
            const std::string base = name.substr(0, dot), tag = dot == std::string::npos ? "" : name.substr(dot);
            Journal journal;
            bool expected = Holds(v1_, name, bytes) || Holds(v2_, name, bytes);
            if (name == kJournalName || name == kJournalNextName) {
                expected = ReadJournal(bytes.data(), bytes.size(), &journal);
            } else if (tag == ".hvnew0") {
                expected = Holds(v2_, base, bytes);
            } else if (tag == ".hvold0" || tag == ".hvold1") {
                expected = Holds(v1_, base, bytes);
            }
            EXPECT_TRUE(expected) << name << " after a kill at " << n;
        }
        const std::set<std::string> before = MemoryTreeFileSystem::Holding(v1_).directories,
                                    after = MemoryTreeFileSystem::Holding(v2_).directories;
        for (const std::string& directory : tree.directories) {
            EXPECT_TRUE(before.count(directory) || after.count(directory)) << directory << " " << n;
        }
    }

    void ExpectExactly(const MemoryTreeFileSystem& tree, const Files& files, size_t n) {
        EXPECT_TRUE(tree.files == files) << "after a kill at " << n;
        // The deleted file's directory stays.
        std::set<std::string> directories = MemoryTreeFileSystem::Holding(files).directories;
        directories.insert("gone");
        EXPECT_TRUE(tree.directories == directories) << "after a kill at " << n;
    }

    Files v1_, v2_, v3_;
    std::vector<uint8_t> patch12_, patch23_;
};

TEST_F(TreeKill, EveryKillLeavesAWholeTreeThatTheNextApplicationSettles) {
    const std::vector<Trouble> troubles = {
        {"replaced in one step", {}},
        {"app.exe refuses to be replaced (a running program)", {"app.exe"}},
        {"the commit is undone", {"app.exe"}, true},
    };
    size_t finished = 0, undone = 0;
    for (const Trouble& trouble : troubles) {
        SCOPED_TRACE(trouble.what);
        const size_t all = KilledAfter(SIZE_MAX, trouble).second;
        EXPECT_GE(all, 20u);
        for (size_t n = 0; n <= all; ++n) {
            MemoryTreeFileSystem tree = KilledAfter(n, trouble).first;
            ExpectWhole(tree, n, trouble.replaceRefused);
            // The same patch again: applied.
            MemoryTreeFileSystem again = tree;
            EXPECT_EQ(Apply(patch12_, again), PATCHLIB_OK) << n;
            ExpectExactly(again, v2_, n);
            // Another patch: while its commit journal is in force, the interrupted
            // application is finished first; before it or after an undo (nothing, or
            // a journal in "prepare"), the tree is the old one again.
            if (HasCommitJournal(tree) || (n == all && !trouble.lastMoveFails)) {
                ++finished;
                EXPECT_EQ(Apply(patch23_, tree), PATCHLIB_OK) << n;
                ExpectExactly(tree, v3_, n);
            } else {
                ++undone;
                EXPECT_EQ(Apply(patch23_, tree), PATCHLIB_ERR_WRONG_VERSION) << n;
                ExpectExactly(tree, v1_, n);
            }
        }
    }
    EXPECT_GT(finished, 10u);
    EXPECT_GT(undone, 10u);
}

TEST_F(TreeKill, AJournalThatCannotBeTrustedRefusesAndTouchesNothing) {
    // Killed in the commit, before app.exe was replaced.
    size_t n = 0;
    MemoryTreeFileSystem killed;
    while (!HasCommitJournal(killed) || !killed.files.count("app.exe.hvnew0")) {
        ASSERT_LT(n, 100u);
        killed = KilledAfter(++n, Trouble{}).first;
    }
    const std::vector<uint8_t> journal = killed.files[kJournalName];
    std::vector<std::function<void(MemoryTreeFileSystem&)>> damages = {
        [&](MemoryTreeFileSystem& t) { t.files[kJournalName].pop_back(); },
        [&](MemoryTreeFileSystem& t) { t.files[kJournalName].resize(journal.size() / 2); },
        [&](MemoryTreeFileSystem& t) { t.files[kJournalName].clear(); },
        [&](MemoryTreeFileSystem& t) { t.files["app.exe.hvnew0"].back() ^= 1; },  // what it would put in place
        [&](MemoryTreeFileSystem& t) {
            t.files.erase(kJournalName);
            t.directories.insert(kJournalName);
        },
    };
    for (size_t at = 0; at < journal.size(); ++at) {
        damages.push_back([at](MemoryTreeFileSystem& t) { t.files[kJournalName][at] ^= 0x10; });
    }
    for (size_t i = 0; i < damages.size(); ++i) {
        MemoryTreeFileSystem tree = killed;
        damages[i](tree);
        const MemoryTreeFileSystem before = tree;
        Quiet quiet;
        EXPECT_EQ(Apply(patch12_, tree, &quiet), PATCHLIB_ERR_JOURNAL) << i;
        EXPECT_EQ(quiet.ids, (std::vector<uint32_t>{PATCHLIB_MSG_ERROR_TITLE, PATCHLIB_MSG_ERROR_TEXT})) << i;
        EXPECT_TRUE(tree.files == before.files && tree.directories == before.directories) << i;
    }
    // Whole again, the same journal finishes the application.
    EXPECT_EQ(Apply(patch12_, killed), PATCHLIB_OK);
    ExpectExactly(killed, v2_, n);
}

}  // namespace
