// Applies a patch to a directory tree, all or nothing.
//
// 1. The patch is parsed and checked completely (trailer checksum, lengths, names).
// 2. Every file it touches is checked against the patch: a file to patch or delete
//    must be exactly the old version (size and SHA-256), a file to add must not exist;
//    a file that already is the new version (or a deleted file already gone) counts as
//    done. Any other state refuses the whole patch before anything is written.
// 3. Every new file is rebuilt in memory, checked against the new SHA-256 and written
//    to a temporary file beside its target.
// 4. Only then are the files moved into place: each old file is first renamed to a
//    backup name, the new one renamed over its name; deletions come last (as renames
//    to backups). If any move fails, the moves made so far are undone from the backups.
//    Then the backups are removed.
// A stop asked for by the receiver of the messages can happen only in steps 1 to 3
// and leaves the tree as it was, without temporary files or new directories.
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
