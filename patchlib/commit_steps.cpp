#include "patchlib/commit_steps.h"

#include "patchlib/patch_path.h"

namespace {

bool Exists(TreeFileSystem& tree, const std::string& path) {
    return tree.Stat(path, nullptr) != TreeFileSystem::Kind::kMissing;
}

void RemoveIfPresent(TreeFileSystem& tree, const std::string& path) {
    if (!path.empty() && Exists(tree, path)) tree.RemoveFile(path);
}

bool ReplaceForward(TreeFileSystem& tree, const JournalStep& step, bool keepOld) {
    if (!Exists(tree, step.temp)) return true;
    // Moved aside already: the name is free.
    if (!Exists(tree, step.path)) return tree.Rename(step.temp, step.path);
    if (keepOld && !Exists(tree, step.backup) && !tree.Preserve(step.path, step.backup)) return false;
    if (tree.Replace(step.temp, step.path)) return true;
    // Refused (a running program's file): two renames, with a moment without the
    // file that the journal makes good after a kill.
    return tree.Rename(step.path, step.aside) && tree.Rename(step.temp, step.path);
}

}  // namespace

bool StepForward(TreeFileSystem& tree, const JournalStep& step, bool keepOld) {
    switch (step.kind) {
    case JournalStepKind::kReplace: return ReplaceForward(tree, step, keepOld);
    case JournalStepKind::kAdd: return !Exists(tree, step.temp) || tree.Rename(step.temp, step.path);
    case JournalStepKind::kDelete: return !Exists(tree, step.path) || tree.Rename(step.path, step.backup);
    }
    return false;
}

bool StepBack(TreeFileSystem& tree, const JournalStep& step, bool placed) {
    switch (step.kind) {
    case JournalStepKind::kReplace:
        if (placed) {
            // The new file keeps its temporary name while the old one is put back over
            // it in one step, so that the step stays finishable at every moment.
            const std::string& old = Exists(tree, step.aside) ? step.aside : step.backup;
            if (!Exists(tree, step.temp) && !tree.Preserve(step.path, step.temp)) return false;
            if (!tree.Replace(old, step.path) && !(tree.RemoveFile(step.path) && tree.Rename(old, step.path))) {
                return false;
            }
        } else if (!Exists(tree, step.path) && !tree.Rename(step.aside, step.path)) {
            return false;
        }
        RemoveIfPresent(tree, step.backup);
        return true;
    case JournalStepKind::kAdd: return !placed || tree.Rename(step.path, step.temp);
    case JournalStepKind::kDelete: return !placed || tree.Rename(step.backup, step.path);
    }
    return false;
}

void RemoveStepLeftovers(TreeFileSystem& tree, const JournalStep& step) {
    RemoveIfPresent(tree, step.temp);
    RemoveIfPresent(tree, step.backup);
    RemoveIfPresent(tree, step.aside);
}

bool SaveJournal(TreeFileSystem& tree, const Journal& journal) {
    const std::vector<uint8_t> bytes = WriteJournal(journal);
    // What a killed writer left is not in force.
    RemoveIfPresent(tree, kJournalNextName);
    if (!tree.WriteNewFile(kJournalNextName, bytes.data(), bytes.size())) return false;
    if (tree.Replace(kJournalNextName, kJournalName)) return true;
    tree.RemoveFile(kJournalNextName);
    return false;
}

bool RemoveJournal(TreeFileSystem& tree) { return tree.RemoveFile(kJournalName); }
