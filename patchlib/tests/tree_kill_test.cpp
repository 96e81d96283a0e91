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

    Kind Stat(const std::string& path, uint64_t* size) override { return left_ ? below_.Stat(path, size) : Kind::kOther; }
    bool ReadFile(const std::string& path, uint64_t maxSize, std::vector<uint8_t>* bytes) override {
        return left_ && below_.ReadFile(path, maxSize, bytes);
    }
    bool ReadPieces(const std::string& path, const std::function<bool(const uint8_t*, size_t)>& sink) override {
        return left_ && below_.ReadPieces(path, sink);
    }
    bool ListFiles(std::vector<std::string>* paths) override { return left_ && below_.ListFiles(paths); }
    bool WriteNewFile(const std::string& path, const uint8_t* data, size_t size) override {
        return Change() && below_.WriteNewFile(path, data, size);
    }
    bool Rename(const std::string& from, const std::string& to) override { return Change() && below_.Rename(from, to); }
    bool Replace(const std::string& from, const std::string& to) override { return Change() && below_.Replace(from, to); }
    bool Preserve(const std::string& from, const std::string& to) override {
        return Change() && below_.Preserve(from, to);
    }
    bool RemoveFile(const std::string& path) override { return Change() && below_.RemoveFile(path); }
    bool MakeDirectory(const std::string& path) override { return Change() && below_.MakeDirectory(path); }
    bool RemoveEmptyDirectory(const std::string& path) override {
        return Change() && below_.RemoveEmptyDirectory(path);
    }

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

MemoryTreeFileSystem Tree(const Files& files) {
    MemoryTreeFileSystem tree;
    tree.files = files;
    for (const auto& f : files) {
        for (size_t slash = f.first.find('/'); slash != std::string::npos; slash = f.first.find('/', slash + 1)) {
            tree.directories.insert(f.first.substr(0, slash));
        }
    }
    return tree;
}

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
        MemoryTreeFileSystem a = Tree(from), b = Tree(to);
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

    // The changes of a whole application of patch12_, and the tree of one killed after n.
    size_t AllChanges(const Trouble& trouble) { return Run(SIZE_MAX, trouble).second; }
    MemoryTreeFileSystem KilledAfter(size_t n, const Trouble& trouble) { return Run(n, trouble).first; }
    std::pair<MemoryTreeFileSystem, size_t> Run(size_t changes, const Trouble& trouble) {
        MemoryTreeFileSystem tree = Tree(v1_);
        tree.replaceRefused = trouble.replaceRefused;
        if (trouble.lastMoveFails) {
            MemoryTreeFileSystem clean = tree;
            EXPECT_EQ(Apply(patch12_, clean), PATCHLIB_OK);
            tree.failRenameOnly = clean.renames;
        }
        DyingTreeFileSystem dying(tree, changes);
        const uint32_t result = Apply(patch12_, dying);
        if (changes == SIZE_MAX) EXPECT_EQ(result, trouble.lastMoveFails ? PATCHLIB_ERR_IO : PATCHLIB_OK);
        tree.replaceRefused.clear();
        tree.failRenameOnly = 0;
        return {tree, dying.changes};
    }

    // Every file of the patch is old or new, and every other file is one of the
    // application's own, with the content its name stands for. A patched file is never
    // missing, but for the moment between the fallback's two renames, which only the
    // commit journal makes good.
    void ExpectWhole(MemoryTreeFileSystem& tree, size_t n, const std::set<std::string>& refused) {
        for (const auto& [name, old] : v1_) {
            auto it = tree.files.find(name);
            if (v2_.count(name) && it == tree.files.end()) {
                ASSERT_TRUE(refused.count(name) && HasCommitJournal(tree) && tree.files.count(name + ".hvnew0") &&
                            tree.files.count(name + ".hvold1"))
                    << name << " missing after " << n;
            }
            if (it != tree.files.end()) {
                EXPECT_TRUE(it->second == old || (v2_.count(name) && it->second == v2_.at(name))) << name << " " << n;
            }
        }
        for (const auto& [name, bytes] : tree.files) {
            if (v1_.count(name) || v2_.count(name)) {
                if (!v1_.count(name)) EXPECT_TRUE(bytes == v2_.at(name)) << name << " " << n;
                continue;
            }
            Journal journal;
            if (name == kJournalName || name == kJournalNextName) {
                EXPECT_TRUE(ReadJournal(bytes.data(), bytes.size(), &journal)) << name << " " << n;
                continue;
            }
            const size_t dot = name.rfind(".hv");
            ASSERT_NE(dot, std::string::npos) << "stray " << name << " after " << n;
            const std::string base = name.substr(0, dot), tag = name.substr(dot);
            if (tag == ".hvnew0") {
                EXPECT_TRUE(v2_.count(base) && bytes == v2_.at(base)) << name << " " << n;
            } else {
                ASSERT_TRUE(tag == ".hvold0" || tag == ".hvold1") << "stray " << name << " after " << n;
                EXPECT_TRUE(v1_.count(base) && bytes == v1_.at(base)) << name << " " << n;
            }
        }
        const std::set<std::string> before = Tree(v1_).directories, after = Tree(v2_).directories;
        for (const std::string& directory : tree.directories) {
            EXPECT_TRUE(before.count(directory) || after.count(directory)) << directory << " " << n;
        }
    }

    void ExpectExactly(const MemoryTreeFileSystem& tree, const Files& files, size_t n) {
        EXPECT_TRUE(tree.files == files) << "after a kill at " << n;
        // The deleted file's directory stays.
        std::set<std::string> directories = Tree(files).directories;
        directories.insert("gone");
        EXPECT_TRUE(tree.directories == directories) << "after a kill at " << n;
    }

    Files v1_, v2_, v3_;
    std::vector<uint8_t> patch12_, patch23_;
};

TEST_F(TreeKill, EveryKillLeavesAWholeTreeThatTheSamePatchFinishes) {
    const std::vector<Trouble> troubles = {
        {"replaced in one step", {}},
        {"app.exe refuses to be replaced (a running program)", {"app.exe"}},
        {"the commit is undone", {"app.exe"}, true},
    };
    for (const Trouble& trouble : troubles) {
        SCOPED_TRACE(trouble.what);
        const size_t all = AllChanges(trouble);
        EXPECT_GE(all, 20u);
        for (size_t n = 0; n <= all; ++n) {
            MemoryTreeFileSystem tree = KilledAfter(n, trouble);
            ExpectWhole(tree, n, trouble.replaceRefused);
            if (HasFatalFailure()) return;
            EXPECT_EQ(Apply(patch12_, tree), PATCHLIB_OK) << n;
            ExpectExactly(tree, v2_, n);
        }
    }
}

TEST_F(TreeKill, AnotherPatchFirstFinishesOrUndoesTheInterruptedOne) {
    size_t finished = 0, undone = 0;
    for (const Trouble& trouble : {Trouble{"running program", {"app.exe"}}, Trouble{"undone", {}, true}}) {
        SCOPED_TRACE(trouble.what);
        const size_t all = AllChanges(trouble);
        for (size_t n = 0; n <= all; ++n) {
            MemoryTreeFileSystem tree = KilledAfter(n, trouble);
            // While its commit journal is in force, the interrupted application is
            // finished; before it or after an undo (nothing, or a journal in
            // "prepare"), the tree is the old one again.
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
    for (const size_t all = AllChanges(Trouble{}); n < all; ++n) {
        killed = KilledAfter(n, Trouble{});
        if (HasCommitJournal(killed) && killed.files.count("app.exe.hvnew0")) break;
    }
    ASSERT_TRUE(HasCommitJournal(killed));
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
