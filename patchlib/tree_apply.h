// Applies a patch to a directory tree, all or nothing, even across a killed process.
//
// 0. An earlier application that was killed half way is settled first, from the
//    journal it left in the tree's root (kJournalName): undone when it was still
//    writing its new files ("prepare"), finished when it had begun to move them in
//    ("commit"). A journal that cannot be trusted refuses the application
//    (PATCHLIB_ERR_JOURNAL) and touches nothing.
// 1. The patch is parsed and checked completely (trailer checksum, lengths, names).
// 2. Every file it touches is checked against the patch: a file to patch or delete
//    must be exactly the old version (size and SHA-256), a file to add must not exist;
//    a file that already is the new version (or a deleted file already gone) counts as
//    done. Any other state refuses the whole patch before anything is written.
// 3. The journal, in state "prepare", names every temporary and backup file to come.
//    Every new file is rebuilt in memory, checked against the new SHA-256 and written
//    to a temporary file beside its target.
// 4. The journal says "commit"; only then are the files moved into place: each old
//    file keeps its content under a backup name (a hard link, else a copy), and the new
//    one is renamed over its name in one step (two renames only where that is refused);
//    deletions come last (as renames to backups). If any move fails, the moves made so
//    far are undone. Then the backups go, and the journal last.
// A stop asked for by the receiver of the messages can happen only in steps 1 to 3
// and leaves the tree as it was, without temporary files, new directories or journal.
// The journal's format and what the next application does with it: FORMAT.md.
#pragma once
#include <cstddef>
#include <cstdint>

#include "patchlib/patch_codes.h"
#include "patchlib/tree_fs.h"

// Receives the library's messages (ids and parameters as in patch_codes.h).
class PatchMessages {
public:
    // False asks the application to stop.
    virtual bool Send(uint32_t id, void* parameter) = 0;

protected:
    ~PatchMessages() = default;
};

// Returns one of the PATCHLIB_ codes. Never throws.
uint32_t ApplyPatchToTree(const uint8_t* patch, size_t size, TreeFileSystem& tree, PatchMessages& messages);

// Only settles an application that was interrupted in the tree (finished or undone as its
// journal says), and applies nothing: PATCHLIB_OK when there was none or it is settled.
uint32_t SettleTree(TreeFileSystem& tree, PatchMessages& messages);
