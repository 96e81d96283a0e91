#include "patchlib/tree_apply.h"

#include <new>
#include <set>
#include <string>
#include <vector>

#include "patchlib/delta.h"
#include "patchlib/patch_format.h"
#include "patchlib/patch_path.h"
#include "patchlib/sha256.h"
#include "patchlib/zlib_stream.h"

namespace {

// An idle message goes out after every this many bytes hashed.
constexpr uint64_t kIdleEvery = 4u << 20;
// Added files are inflated and reported in slices of this size.
constexpr size_t kInflateSlice = 256 * 1024;

const char kRefusalTitle[] = "Patch not applied";

struct Work {
    const PatchEntry* entry = nullptr;
    bool todo = false;       // false: the file already is what the patch makes of it
    std::string temp;        // the new content, beside the target (patch, add)
    bool tempWritten = false;
    std::string backup;      // where the old file goes while the new one moves in (patch, delete)
    bool oldSaved = false;   // the old file is at backup
    bool newPlaced = false;  // the new file is at its name
};

enum class HashOutcome { kOk, kUnreadable, kStopped };

class Application {
public:
    Application(const PatchContents& contents, TreeFileSystem& tree, PatchMessages& messages)
        : contents_(contents), tree_(tree), messages_(messages) {
        for (const PatchEntry& entry : contents.entries) reserved_.insert(FoldPatchPath(entry.path));
    }
    ~Application() {
        if (!committed_) Cleanup();
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
        for (Work& work : works_) {
            if (const uint32_t code = Build(work)) return code;
        }
        return Commit();
    }

private:
    // Texts go out as a copy of their own: the receiver gets a writable zero-terminated
    // text and cannot disturb ours.
    bool SendText(uint32_t id, const std::string& text) {
        std::vector<char> copy(text.begin(), text.end());
        copy.push_back('\0');
        return messages_.Send(id, copy.data());
    }
    bool SendProgress(uint16_t value) { return messages_.Send(PATCHLIB_MSG_FILE_PROGRESS, &value); }

    uint32_t Stopped() { return PATCHLIB_ERR_STOPPED; }

    // Tells why the patch is refused (an error title and text), then gives the code.
    // The answer to these messages does not matter: the application ends anyway.
    uint32_t Refuse(uint32_t code, const std::string& text) {
        SendText(PATCHLIB_MSG_ERROR_TITLE, kRefusalTitle);
        SendText(PATCHLIB_MSG_ERROR_TEXT, text);
        return code;
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

    uint32_t Rebuild(const PatchEntry& entry, std::vector<uint8_t>* content) {
        Progress progress(*this);
        DeltaStatus status;
        if (entry.kind == EntryKind::kPatch) {
            std::vector<uint8_t> old;
            if (!tree_.ReadFile(entry.path, kDeltaMaxSize, &old)) {
                return Refuse(PATCHLIB_ERR_IO, entry.path + " could not be read.");
            }
            status = DecodeDelta(old.data(), old.size(), entry.payload, entry.payloadSize, entry.newSize, content,
                                 &progress);
        } else {
            status = DeltaStatus::kOk;
            InflateReader reader;
            content->resize(static_cast<size_t>(entry.newSize));
            if (!reader.Open(entry.payload, entry.payloadSize, entry.newSize)) return PATCHLIB_ERR_NO_MEMORY;
            for (size_t done = 0; done < content->size() && status == DeltaStatus::kOk;) {
                const size_t slice = std::min(kInflateSlice, content->size() - done);
                if (!reader.Read(content->data() + done, slice)) {
                    status = DeltaStatus::kCorrupt;
                } else if ((done += slice) < content->size() && !progress.Advance(done, content->size())) {
                    status = DeltaStatus::kStopped;
                }
            }
            if (status == DeltaStatus::kOk && !reader.Finish()) status = DeltaStatus::kCorrupt;
        }
        switch (status) {
        case DeltaStatus::kOk: break;
        case DeltaStatus::kStopped: return Stopped();
        case DeltaStatus::kNoMemory: return PATCHLIB_ERR_NO_MEMORY;
        case DeltaStatus::kCorrupt:
            messages_.Send(PATCHLIB_MSG_INVALID_PATCH, nullptr);
            return PATCHLIB_ERR_INVALID_PATCH;
        }
        if (content->size() != entry.newSize || Sha256::Of(content->data(), content->size()) != entry.newHash) {
            return Refuse(PATCHLIB_ERR_BAD_RESULT, entry.path + " did not match the checksum stored in the patch.");
        }
        return PATCHLIB_OK;
    }

    // Step 3, with the file's messages: start, progress from 0 to complete, done.
    uint32_t Build(Work& work) {
        const PatchEntry& entry = *work.entry;
        if (!SendText(PATCHLIB_MSG_FILE_START, entry.path) || !SendProgress(0)) return Stopped();
        if (work.todo && entry.kind != EntryKind::kDelete) {
            std::vector<uint8_t> content;
            if (const uint32_t code = Rebuild(entry, &content)) return code;
            if (!MakeParents(entry.path)) return Refuse(PATCHLIB_ERR_IO, entry.path + ": its directory could not be made.");
            work.temp = FreeName(entry.path, ".hvnew");
            if (!tree_.WriteNewFile(work.temp, content.data(), content.size())) {
                // WriteNewFile removes what it may have written itself.
                return Refuse(PATCHLIB_ERR_IO, entry.path + " could not be written.");
            }
            work.tempWritten = true;
        }
        if (work.todo && entry.kind != EntryKind::kAdd) work.backup = FreeName(entry.path, ".hvold");
        if (!SendProgress(PATCHLIB_PROGRESS_COMPLETE) || !messages_.Send(PATCHLIB_MSG_FILE_DONE, nullptr)) {
            return Stopped();
        }
        return PATCHLIB_OK;
    }

    bool Place(Work& work) {
        const std::string& path = work.entry->path;
        if (work.entry->kind != EntryKind::kAdd) {
            if (!tree_.Rename(path, work.backup)) return false;
            work.oldSaved = true;
        }
        if (work.entry->kind != EntryKind::kDelete) {
            if (!tree_.Rename(work.temp, path)) return false;
            work.newPlaced = true;
        }
        return true;
    }

    // Step 4. No messages from here on: nothing may stop it half way.
    uint32_t Commit() {
        std::vector<Work*> order;
        for (Work& work : works_) {
            if (work.todo && work.entry->kind != EntryKind::kDelete) order.push_back(&work);
        }
        for (Work& work : works_) {
            if (work.todo && work.entry->kind == EntryKind::kDelete) order.push_back(&work);
        }
        for (size_t i = 0; i < order.size(); ++i) {
            if (!Place(*order[i])) {
                const std::string& path = order[i]->entry->path;
                if (!Undo(order, i)) {
                    return Refuse(PATCHLIB_ERR_ROLLBACK, path + " could not be moved into place, and restoring the "
                                                                "old files failed; they are kept beside their names.");
                }
                return Refuse(PATCHLIB_ERR_IO, path + " could not be moved into place; all files were restored.");
            }
        }
        committed_ = true;
        for (Work* work : order) {
            if (work->oldSaved) tree_.RemoveFile(work->backup);
        }
        return PATCHLIB_OK;
    }

    // Puts back what Place did for order[0..last], newest first. The new files go
    // back to their temporary names, which clean-up removes.
    bool Undo(std::vector<Work*>& order, size_t last) {
        bool all = true;
        for (size_t i = last + 1; i-- > 0;) {
            Work& work = *order[i];
            if (work.newPlaced) {
                if (tree_.Rename(work.entry->path, work.temp)) {
                    work.newPlaced = false;
                } else {
                    all = false;
                    continue;
                }
            }
            if (work.oldSaved) {
                if (tree_.Rename(work.backup, work.entry->path)) {
                    work.oldSaved = false;
                } else {
                    all = false;
                }
            }
        }
        return all;
    }

    // Removes the temporary files and the directories made for added files. Backups
    // that could not be put back stay: they hold the only copy of the old files.
    void Cleanup() {
        for (const Work& work : works_) {
            if (work.tempWritten && !work.newPlaced) tree_.RemoveFile(work.temp);
        }
        for (auto it = createdDirectories_.rbegin(); it != createdDirectories_.rend(); ++it) {
            tree_.RemoveEmptyDirectory(*it);
        }
    }

    const PatchContents& contents_;
    TreeFileSystem& tree_;
    PatchMessages& messages_;
    std::vector<Work> works_;
    std::set<std::string> reserved_;  // folded names in use: the patch's and ours
    std::vector<std::string> createdDirectories_;
    bool committed_ = false;
    std::string hashedPath_;  // the file whose SHA-256 is in hashed_
    Sha256Digest hashed_{};
};

}  // namespace

uint32_t ApplyPatchToTree(const uint8_t* patch, size_t size, TreeFileSystem& tree, PatchMessages& messages) {
    try {
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
