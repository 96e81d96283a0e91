// The applier's journal: what one application of a patch is about to do to a tree,
// kept in the tree's root (kJournalName) so that the next application can undo or
// finish an application that was killed half way. Byte layout in FORMAT.md.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "patchlib/sha256.h"

constexpr uint8_t kJournalMagic[8] = {'H', 'V', 'J', 'O', 'U', 'R', 'N', 0x1A};
constexpr uint8_t kJournalFormatVersion = 1;
// A journal is read whole; one larger than this is not ours.
constexpr uint64_t kMaxJournalBytes = 1u << 30;

enum class JournalState : uint8_t {
    kPrepare = 1,  // new files are being written beside their names: undo it
    kCommit = 2,   // every new file is written and checked: finish it
};

enum class JournalStepKind : uint8_t {
    kReplace = 1,  // temp takes path's place; the old file keeps backup (and aside) as its name
    kAdd = 2,      // temp moves to path
    kDelete = 3,   // path moves to backup
};

struct JournalStep {
    JournalStepKind kind = JournalStepKind::kAdd;
    std::string path;
    std::string temp;    // replace, add: "<path>.hvnewN", the new content
    std::string backup;  // replace, delete: "<path>.hvoldN", the old content's second name
    std::string aside;   // replace: "<path>.hvoldN", where the old file moves when it cannot be replaced in one step
    uint64_t newSize = 0;      // replace, add: what temp holds
    Sha256Digest newHash{};
};

struct Journal {
    JournalState state = JournalState::kPrepare;
    std::vector<JournalStep> steps;        // in the order of the commit
    std::vector<std::string> directories;  // made for added files, parents first
};

std::vector<uint8_t> WriteJournal(const Journal& journal);

// False for anything but a whole journal as WriteJournal makes them: a wrong checksum,
// version or state, lengths beyond the bytes, unsafe names, or temporary and backup
// names that are not the step's path with its suffix.
bool ReadJournal(const uint8_t* bytes, size_t size, Journal* journal);
