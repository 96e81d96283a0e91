#include "patchlib/tree_apply.h"

#include <new>
#include <set>
#include <string>
#include <vector>

#include "patchlib/commit_steps.h"
#include "patchlib/content_sink.h"
#include "patchlib/delta.h"
#include "patchlib/journal.h"
#include "patchlib/journal_recovery.h"
#include "patchlib/patch_format.h"
#include "patchlib/patch_path.h"
#include "patchlib/sha256.h"
#include "patchlib/zlib_stream.h"

namespace {

// An idle message goes out after every this many bytes hashed.
constexpr uint64_t kIdleEvery = 4u << 20;

const char kRefusalTitle[] = "Patch not applied";

struct Work {
    const PatchEntry* entry = nullptr;
    bool todo = false;                  // false: the file already is what the patch makes of it
    const JournalStep* step = nullptr;  // when todo: its names and its place in the commit
};

enum class HashOutcome { kOk, kUnreadable, kStopped };

// Texts go out as a copy of their own: the receiver gets a writable zero-terminated
// text and cannot disturb ours.
bool SendText(PatchMessages& messages, uint32_t id, const std::string& text) {
    std::vector<char> copy(text.begin(), text.end());
    copy.push_back('\0');
    return messages.Send(id, copy.data());
}

// Tells why the patch is refused (an error title and text), then gives the code.
// The answer to these messages does not matter: the application ends anyway.
uint32_t Refuse(PatchMessages& messages, uint32_t code, const std::string& text) {
    SendText(messages, PATCHLIB_MSG_ERROR_TITLE, kRefusalTitle);
    SendText(messages, PATCHLIB_MSG_ERROR_TEXT, text);
    return code;
}

class Application {
public:
    Application(const PatchContents& contents, TreeFileSystem& tree, PatchMessages& messages)
        : contents_(contents), tree_(tree), messages_(messages) {
        for (const PatchEntry& entry : contents.entries) reserved_.insert(FoldPatchPath(entry.path));
    }
    ~Application() {
        if (!committed_ && !leftForNext_) Cleanup();
    }
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    uint32_t Run() {
        if (!contents_.comment.empty() && !SendText(PATCHLIB_MSG_COMMENT, contents_.comment)) return Stopped();
        if (!contents_.copyright.empty() && !SendText(PATCHLIB_MSG_COPYRIGHT, contents_.copyright)) return Stopped();
        int32_t count = static_cast<int32_t>(contents_.entries.size());
        if (!messages_.Send(PATCHLIB_MSG_FILE_COUNT, &count)) return Stopped();
        if (tree_.Stat("", nullptr) != TreeFileSystem::Kind::kDirectory) {
            return Refuse(PATCHLIB_ERR_TARGET_DIR, "The target directory does not exist.");
        }

        works_.resize(contents_.entries.size());
        for (size_t i = 0; i < works_.size(); ++i) {
            works_[i].entry = &contents_.entries[i];
            if (const uint32_t code = Check(works_[i])) return code;
        }
        Plan();
        // In force before the first temporary file is written, so that a kill from
        // here on leaves what the next application needs to clear it away.
        if (!journal_.steps.empty()) {
            if (!SaveJournal(tree_, journal_)) return JournalNotWritten();
            journalSaved_ = true;
        }
        for (Work& work : works_) {
            if (const uint32_t code = Build(work)) return code;
        }
        return Commit();
    }

private:
    bool SendText(uint32_t id, const std::string& text) { return ::SendText(messages_, id, text); }
    bool SendProgress(uint16_t value) { return messages_.Send(PATCHLIB_MSG_FILE_PROGRESS, &value); }

    uint32_t Stopped() { return PATCHLIB_ERR_STOPPED; }

    uint32_t Refuse(uint32_t code, const std::string& text) { return ::Refuse(messages_, code, text); }
    uint32_t JournalNotWritten() {
        return Refuse(PATCHLIB_ERR_IO, std::string("The journal ") + kJournalName + " could not be written.");
    }

    HashOutcome Hash(const std::string& path, Sha256Digest* digest) {
        Sha256 hash;
        uint64_t sinceIdle = 0;
        bool stopped = false;
        const bool read = tree_.ReadPieces(path, [&](const uint8_t* data, size_t size) {
            hash.Update(data, size);
            sinceIdle += size;
            if (sinceIdle >= kIdleEvery) {
                sinceIdle = 0;
                if (!messages_.Send(PATCHLIB_MSG_IDLE, nullptr)) return !(stopped = true);
            }
            return true;
        });
        if (stopped) return HashOutcome::kStopped;
        if (!read) return HashOutcome::kUnreadable;
        *digest = hash.Finish();
        return HashOutcome::kOk;
    }

    // Whether the file at path (of actualSize bytes) has this size and hash. The file
    // is hashed at most once, however often this is asked.
    uint32_t FileIs(const std::string& path, uint64_t actualSize, uint64_t size, const Sha256Digest& expected,
                    bool* same) {
        *same = false;
        if (actualSize != size) return PATCHLIB_OK;
        if (hashedPath_ != path) {
            switch (Hash(path, &hashed_)) {
            case HashOutcome::kStopped: return Stopped();
            case HashOutcome::kUnreadable: return Refuse(PATCHLIB_ERR_IO, path + " could not be read.");
            case HashOutcome::kOk: break;
            }
            hashedPath_ = path;
        }
        *same = hashed_ == expected;
        return PATCHLIB_OK;
    }

    // Step 2: is the file the old version (todo), the new one (done), or neither?
    uint32_t Check(Work& work) {
        const PatchEntry& entry = *work.entry;
        // Every directory on the way must be a directory or not exist yet.
        for (size_t slash = entry.path.find('/'); slash != std::string::npos; slash = entry.path.find('/', slash + 1)) {
            const TreeFileSystem::Kind kind = tree_.Stat(entry.path.substr(0, slash), nullptr);
            if (kind == TreeFileSystem::Kind::kMissing) break;
            if (kind != TreeFileSystem::Kind::kDirectory) {
                return Refuse(PATCHLIB_ERR_WRONG_VERSION, entry.path.substr(0, slash) + " is not a directory.");
            }
        }
        uint64_t size = 0;
        const TreeFileSystem::Kind kind = tree_.Stat(entry.path, &size);
        if (kind == TreeFileSystem::Kind::kDirectory || kind == TreeFileSystem::Kind::kOther) {
            return Refuse(PATCHLIB_ERR_WRONG_VERSION, entry.path + " is a directory or special file.");
        }
        const bool exists = kind == TreeFileSystem::Kind::kFile;
        bool isOld = false, isNew = false;
        if (exists && entry.kind != EntryKind::kAdd) {
            if (const uint32_t code = FileIs(entry.path, size, entry.oldSize, entry.oldHash, &isOld)) return code;
        }
        if (exists && !isOld && entry.kind != EntryKind::kDelete) {
            if (const uint32_t code = FileIs(entry.path, size, entry.newSize, entry.newHash, &isNew)) return code;
        }
        switch (entry.kind) {
        case EntryKind::kPatch:
            if (!exists) return Refuse(PATCHLIB_ERR_WRONG_VERSION, entry.path + " is missing.");
            if (!isOld && !isNew) {
                return Refuse(PATCHLIB_ERR_WRONG_VERSION, entry.path + " is not the version this patch was made from.");
            }
            work.todo = isOld;
            break;
        case EntryKind::kAdd:
            if (exists && !isNew) return Refuse(PATCHLIB_ERR_WRONG_VERSION, entry.path + " already exists with other content.");
            work.todo = !exists;
            break;
        case EntryKind::kDelete:
            if (exists && !isOld) {
                return Refuse(PATCHLIB_ERR_WRONG_VERSION, entry.path + " is not the version this patch was made from.");
            }
            work.todo = exists;
            break;
        }
        return PATCHLIB_OK;
    }

    // A name beside path that is free on disk and in the patch.
    std::string FreeName(const std::string& path, const char* tag) {
        for (unsigned n = 0;; ++n) {
            std::string name = path + tag + std::to_string(n);
            if (reserved_.count(FoldPatchPath(name))) continue;
            if (tree_.Stat(name, nullptr) != TreeFileSystem::Kind::kMissing) continue;
            reserved_.insert(FoldPatchPath(name));
            return name;
        }
    }

    // Every name the commit will use, in the journal in commit order: patched and
    // added files in patch order, then deletions. And the directories that added files
    // need, parents first.
    void Plan() {
        std::vector<Work*> order;
        for (Work& work : works_) {
            if (work.todo && work.entry->kind != EntryKind::kDelete) order.push_back(&work);
        }
        for (Work& work : works_) {
            if (work.todo && work.entry->kind == EntryKind::kDelete) order.push_back(&work);
        }
        std::set<std::string> planned;
        for (Work* work : order) {
            const PatchEntry& entry = *work->entry;
            JournalStep step;
            step.path = entry.path;
            switch (entry.kind) {
            case EntryKind::kPatch: step.kind = JournalStepKind::kReplace; break;
            case EntryKind::kAdd: step.kind = JournalStepKind::kAdd; break;
            case EntryKind::kDelete: step.kind = JournalStepKind::kDelete; break;
            }
            if (entry.kind != EntryKind::kDelete) {
                step.temp = FreeName(entry.path, ".hvnew");
                step.newSize = entry.newSize;
                step.newHash = entry.newHash;
            }
            if (entry.kind != EntryKind::kAdd) step.backup = FreeName(entry.path, ".hvold");
            if (entry.kind == EntryKind::kPatch) step.aside = FreeName(entry.path, ".hvold");
            journal_.steps.push_back(step);
            for (size_t slash = entry.path.find('/'); slash != std::string::npos; slash = entry.path.find('/', slash + 1)) {
                const std::string directory = entry.path.substr(0, slash);
                if (tree_.Stat(directory, nullptr) == TreeFileSystem::Kind::kMissing && planned.insert(directory).second) {
                    journal_.directories.push_back(directory);
                }
            }
        }
        for (size_t i = 0; i < order.size(); ++i) order[i]->step = &journal_.steps[i];
    }

    bool MakeParents(const std::string& path) {
        for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
            const std::string directory = path.substr(0, slash);
            const TreeFileSystem::Kind kind = tree_.Stat(directory, nullptr);
            if (kind == TreeFileSystem::Kind::kDirectory) continue;
            if (kind != TreeFileSystem::Kind::kMissing || !tree_.MakeDirectory(directory)) return false;
            createdDirectories_.push_back(directory);
        }
        return true;
    }

    class Progress : public DeltaProgress {
    public:
        explicit Progress(Application& owner) : owner_(owner) {}
        bool Advance(uint64_t done, uint64_t total) override {
            return owner_.SendProgress(static_cast<uint16_t>(done * PATCHLIB_PROGRESS_COMPLETE / total));
        }

    private:
        Application& owner_;
    };

    // The rebuilt file goes to its temporary file as it is made, counted and hashed on
    // the way, so a large file is never held whole.
    class FileSink : public DeltaSink {
    public:
        explicit FileSink(TreeFileSystem::NewFile& file) : file_(file) {}
        bool Take(const uint8_t* data, size_t size) override {
            failed_ = failed_ || !file_.Write(data, size);
            return !failed_;
        }
        bool Failed() const { return failed_; }

    private:
        TreeFileSystem::NewFile& file_;
        bool failed_ = false;
    };

    uint32_t Rebuild(const PatchEntry& entry, TreeFileSystem::NewFile& file) {
        Progress progress(*this);
        FileSink written(file);
        CheckingSink checked(&written);
        DeltaStatus status;
        if (entry.kind == EntryKind::kPatch) {
            std::vector<uint8_t> old;
            if (!tree_.ReadFile(entry.path, kDeltaMaxSize, &old)) {
                return Refuse(PATCHLIB_ERR_IO, entry.path + " could not be read.");
            }
            status = DecodeDelta(old.data(), old.size(), entry.payload, entry.payloadSize, entry.newSize, &checked,
                                 &progress);
        } else {
            status = InflateToSink(entry.payload, entry.payloadSize, entry.newSize, &checked, &progress);
        }
        switch (status) {
        case DeltaStatus::kOk: break;
        case DeltaStatus::kStopped: return Stopped();
        case DeltaStatus::kNoMemory:
            if (written.Failed()) return Refuse(PATCHLIB_ERR_IO, entry.path + " could not be written.");
            return PATCHLIB_ERR_NO_MEMORY;
        case DeltaStatus::kCorrupt:
            messages_.Send(PATCHLIB_MSG_INVALID_PATCH, nullptr);
            return PATCHLIB_ERR_INVALID_PATCH;
        }
        if (!checked.Matches(entry.newSize, entry.newHash)) {
            return Refuse(PATCHLIB_ERR_BAD_RESULT, entry.path + " did not match the checksum stored in the patch.");
        }
        return PATCHLIB_OK;
    }

    // Step 3, with the file's messages: start, progress from 0 to complete, done.
    uint32_t Build(Work& work) {
        const PatchEntry& entry = *work.entry;
        if (!SendText(PATCHLIB_MSG_FILE_START, entry.path) || !SendProgress(0)) return Stopped();
        if (work.todo && entry.kind != EntryKind::kDelete) {
            if (!MakeParents(entry.path)) return Refuse(PATCHLIB_ERR_IO, entry.path + ": its directory could not be made.");
            // Removed again, with what was written, unless the content matched and is on disk.
            const std::unique_ptr<TreeFileSystem::NewFile> file = tree_.CreateNewFile(work.step->temp);
            if (!file) return Refuse(PATCHLIB_ERR_IO, entry.path + " could not be written.");
            if (const uint32_t code = Rebuild(entry, *file)) return code;
            if (!file->Finish()) return Refuse(PATCHLIB_ERR_IO, entry.path + " could not be written.");
        }
        if (!SendProgress(PATCHLIB_PROGRESS_COMPLETE) || !messages_.Send(PATCHLIB_MSG_FILE_DONE, nullptr)) {
            return Stopped();
        }
        return PATCHLIB_OK;
    }

    // Step 4. No messages from here on: nothing may stop it half way. Once the journal
    // says "commit", a kill anywhere leaves a tree that the next application finishes.
    uint32_t Commit() {
        if (journal_.steps.empty()) {
            committed_ = true;
            return PATCHLIB_OK;
        }
        journal_.state = JournalState::kCommit;
        if (!SaveJournal(tree_, journal_)) return JournalNotWritten();
        for (size_t i = 0; i < journal_.steps.size(); ++i) {
            if (!StepForward(tree_, journal_.steps[i], true)) return Undo(i);
        }
        committed_ = true;
        for (const JournalStep& step : journal_.steps) RemoveStepLeftovers(tree_, step);
        // Should this fail, the next application finds every step done and removes it.
        RemoveJournal(tree_);
        return PATCHLIB_OK;
    }

    // Takes back steps[0..failed], newest first. Only a whole undo may turn the journal
    // back to "prepare" (whose temporary files clean-up then removes); after a partial
    // one everything stays as it is, and the next application finishes the patch.
    uint32_t Undo(size_t failed) {
        const std::string& path = journal_.steps[failed].path;
        bool undone = true;
        for (size_t i = failed + 1; i-- > 0;) undone = StepBack(tree_, journal_.steps[i], i < failed) && undone;
        if (undone) {
            journal_.state = JournalState::kPrepare;
            undone = SaveJournal(tree_, journal_);
        }
        if (!undone) {
            leftForNext_ = true;
            return Refuse(PATCHLIB_ERR_ROLLBACK, path + " could not be moved into place, and restoring the old files "
                                                        "failed; the next application of a patch finishes this one.");
        }
        return Refuse(PATCHLIB_ERR_IO, path + " could not be moved into place; all files were restored.");
    }

    // Removes the temporary files, the directories made for added files and then the
    // journal. Whatever cannot be removed (a file held open) stays.
    void Cleanup() {
        for (const JournalStep& step : journal_.steps) RemoveStepLeftovers(tree_, step);
        for (auto it = createdDirectories_.rbegin(); it != createdDirectories_.rend(); ++it) {
            tree_.RemoveEmptyDirectory(*it);
        }
        if (journalSaved_) RemoveJournal(tree_);
    }

    const PatchContents& contents_;
    TreeFileSystem& tree_;
    PatchMessages& messages_;
    std::vector<Work> works_;
    std::set<std::string> reserved_;  // folded names in use: the patch's and ours
    Journal journal_;
    bool journalSaved_ = false;
    std::vector<std::string> createdDirectories_;
    bool committed_ = false;
    bool leftForNext_ = false;  // a partly undone commit, with its journal, for the next application
    std::string hashedPath_;  // the file whose SHA-256 is in hashed_
    Sha256Digest hashed_{};
};

}  // namespace

uint32_t ApplyPatchToTree(const uint8_t* patch, size_t size, TreeFileSystem& tree, PatchMessages& messages) {
    try {
        // Whatever patch comes next: an interrupted application is settled first.
        std::string reason;
        if (const uint32_t code = SettleInterruptedApplication(tree, &reason)) return Refuse(messages, code, reason);
        PatchContents contents;
        if (ReadPatch(patch, size, &contents) != PatchReadStatus::kOk) {
            messages.Send(PATCHLIB_MSG_INVALID_PATCH, nullptr);
            return PATCHLIB_ERR_INVALID_PATCH;
        }
        Application application(contents, tree, messages);
        return application.Run();
    } catch (const std::bad_alloc&) {
        return PATCHLIB_ERR_NO_MEMORY;
    }
}

uint32_t SettleTree(TreeFileSystem& tree, PatchMessages& messages) {
    try {
        if (tree.Stat("", nullptr) != TreeFileSystem::Kind::kDirectory) {
            return Refuse(messages, PATCHLIB_ERR_TARGET_DIR, "The target directory does not exist.");
        }
        std::string reason;
        if (const uint32_t code = SettleInterruptedApplication(tree, &reason)) return Refuse(messages, code, reason);
        return PATCHLIB_OK;
    } catch (const std::bad_alloc&) {
        return PATCHLIB_ERR_NO_MEMORY;
    }
}
