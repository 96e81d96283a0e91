// What every application does first: settles an application of an earlier patch that
// was killed half way, from the journal it left in the tree's root.
#pragma once
#include <cstdint>
#include <string>

#include "patchlib/tree_fs.h"

// No journal: nothing to do. "prepare": its temporary files (and the directories made
// for them, when empty) are removed, the tree is the old one. "commit": it is
// finished: every temporary that still exists is checked against the size and
// SHA-256 in the journal and put in its place, every file to delete still in place
// goes, then the backups. Then the journal is removed, and PATCHLIB_OK returned.
// A journal that cannot be read, is damaged, or names a temporary that does not hold
// what the journal says is refused before anything is touched; so is a failed step
// of the finish (the journal stays for the next try). Both give PATCHLIB_ERR_JOURNAL
// and why in reason.
uint32_t SettleInterruptedApplication(TreeFileSystem& tree, std::string* reason);
