#include "patchlib/journal_recovery.h"

#include <vector>

#include "patchlib/commit_steps.h"
#include "patchlib/journal.h"
#include "patchlib/patch_codes.h"
#include "patchlib/patch_path.h"
#include "patchlib/sha256.h"

namespace {

std::string JournalText(const char* what) {
    return std::string("The journal ") + kJournalName + " of an interrupted patch application " + what;
}

// Whether the step's temporary file still holds what was written and checked.
bool TemporaryIsWhole(TreeFileSystem& tree, const JournalStep& step) {
    uint64_t size = 0;
    if (tree.Stat(step.temp, &size) != TreeFileSystem::Kind::kFile || size != step.newSize) return false;
    Sha256 hash;
    if (!tree.ReadPieces(step.temp, [&](const uint8_t* data, size_t length) {
            hash.Update(data, length);
            return true;
        })) {
        return false;
    }
    return hash.Finish() == step.newHash;
}

uint32_t Refuse(std::string* reason, const std::string& why) {
    *reason = why;
    return PATCHLIB_ERR_JOURNAL;
}

}  // namespace

uint32_t SettleInterruptedApplication(TreeFileSystem& tree, std::string* reason) {
    const TreeFileSystem::Kind kind = tree.Stat(kJournalName, nullptr);
    if (kind == TreeFileSystem::Kind::kMissing) {
        // Killed while its first journal was written: nothing else was.
        if (tree.Stat(kJournalNextName, nullptr) != TreeFileSystem::Kind::kMissing) tree.RemoveFile(kJournalNextName);
        return PATCHLIB_OK;
    }
    std::vector<uint8_t> bytes;
    if (kind != TreeFileSystem::Kind::kFile || !tree.ReadFile(kJournalName, kMaxJournalBytes, &bytes)) {
        return Refuse(reason, JournalText("could not be read; nothing was changed."));
    }
    Journal journal;
    if (!ReadJournal(bytes.data(), bytes.size(), &journal)) {
        return Refuse(reason, JournalText("is damaged; nothing was changed."));
    }
    if (journal.state == JournalState::kCommit) {
        // All checks before the first move: a mismatch leaves everything as it is.
        for (const JournalStep& step : journal.steps) {
            if (step.kind == JournalStepKind::kDelete) continue;
            if (tree.Stat(step.temp, nullptr) == TreeFileSystem::Kind::kMissing) continue;
            if (!TemporaryIsWhole(tree, step)) {
                return Refuse(reason, step.temp + " is not the file that the interrupted patch application wrote; "
                                                  "nothing was changed.");
            }
        }
    }
    if (tree.Stat(kJournalNextName, nullptr) != TreeFileSystem::Kind::kMissing) tree.RemoveFile(kJournalNextName);
    if (journal.state == JournalState::kCommit) {
        for (const JournalStep& step : journal.steps) {
            if (!StepForward(tree, step, false)) {
                return Refuse(reason, step.path + " could not be moved into place to finish an interrupted patch "
                                                  "application; the next application tries again.");
            }
        }
    }
    for (const JournalStep& step : journal.steps) RemoveStepLeftovers(tree, step);
    if (journal.state == JournalState::kPrepare) {
        for (auto it = journal.directories.rbegin(); it != journal.directories.rend(); ++it) {
            if (tree.Stat(*it, nullptr) == TreeFileSystem::Kind::kDirectory) tree.RemoveEmptyDirectory(*it);
        }
    }
    if (!RemoveJournal(tree)) return Refuse(reason, JournalText("could not be removed."));
    return PATCHLIB_OK;
}
