// The moves of a commit, one journal step at a time, and the journal on the tree.
// Each move looks at the tree and does only what is left of it, so it can be done
// again after a kill: while a step is not done its temporary file exists, and once
// it is done the temporary is gone.
#pragma once
#include "patchlib/journal.h"
#include "patchlib/tree_fs.h"

// Puts the step's new file in place (or moves the file to delete to its backup).
// A replaced file is replaced in one step. With keepOld, its old content first gets
// its backup name, so that the step can be taken back; only where the replacing
// rename is refused does the old file move aside and the new one into the free name.
bool StepForward(TreeFileSystem& tree, const JournalStep& step, bool keepOld);

// Takes back StepForward (done with keepOld; placed: it succeeded, else it failed
// half way): the old file at its name, the new one at its temporary name.
bool StepBack(TreeFileSystem& tree, const JournalStep& step, bool placed);

// Removes whichever of the step's temporary, backup and aside names exist. The ones
// that cannot be removed (held by a running program) stay.
void RemoveStepLeftovers(TreeFileSystem& tree, const JournalStep& step);

// Writes the journal under kJournalNextName (data on disk), then renames it over
// kJournalName in one step. On failure the journal in force is unchanged.
bool SaveJournal(TreeFileSystem& tree, const Journal& journal);
bool RemoveJournal(TreeFileSystem& tree);
