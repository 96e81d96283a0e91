// Makes patches: from one directory tree to another, or from one file to another.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "patchlib/delta.h"
#include "patchlib/patch_format.h"
#include "patchlib/tree_fs.h"

struct MakeOptions {
    // Texts the library hands to its callback; UTF-8, as every name.
    std::string comment;
    std::string copyright;
    DeltaOptions delta;
    // The format to write: 2, or 1 for sites whose clients may still have a patch library
    // that reads only format 1 (no executable transform, no compact coding).
    uint8_t format = kPatchFormatVersion;
    // Decode every delta again and compare with the new file before the patch is
    // handed out (costs a fraction of the encoding time).
    bool verify = true;
};

enum class MakeStatus {
    kOk,
    kOldUnreadable,   // detail: the file or tree that could not be read
    kNewUnreadable,
    kUnsafeName,      // detail: a name a patch cannot carry (see IsSafePatchPath)
    kNameConflict,    // detail: a file that became a directory or the other way round
    kTooLarge,        // detail: a file above the size limit, or a text above its limit
    kFailed,          // detail: what went wrong (out of memory, self-check)
};

struct MakeResult {
    MakeStatus status = MakeStatus::kOk;
    std::string detail;
    unsigned patched = 0, added = 0, deleted = 0, unchanged = 0;
};

// A patch that turns the tree oldTree into newTree: changed files patched, new ones
// added, missing ones deleted, equal ones left out. Names (UTF-8) match without
// case, as on Windows (FoldPatchPath); entries come in the order of their folded names.
// Empty directories are not carried.
MakeResult MakeTreePatch(TreeFileSystem& oldTree, TreeFileSystem& newTree, const MakeOptions& options,
                         std::vector<uint8_t>* patch);

// A patch of one entry named name: patch (old to new), or add when old is null.
MakeResult MakeFilePatch(const std::vector<uint8_t>* oldContent, const std::vector<uint8_t>& newContent,
                         const std::string& name, const MakeOptions& options, std::vector<uint8_t>* patch);
