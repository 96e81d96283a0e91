// Fuzz target for the journal that an interrupted application leaves behind. The
// first input byte picks: bit 0 clear, the rest is the journal file as it is; set,
// the rest gets its checksum added first, so the content behind it gets exercised.
// The journal is read, and acted on in a tree in memory (the fuzz tree with a
// temporary file and a backup of app.bin, as a kill in the commit leaves them).
// Whatever the input, nothing may fault, leak or allocate wildly; a journal that reads
// back differently from what was written, or that touches a file it does not name,
// aborts; so does one refused by the reader but acted on.
#include <algorithm>
#include <cstdlib>

#include "patchlib/fuzz/fuzz_seed_tree.h"
#include "patchlib/journal.h"
#include "patchlib/journal_recovery.h"
#include "patchlib/patch_codes.h"
#include "patchlib/patch_path.h"
#include "patchlib/zlib_stream.h"

namespace {

bool Same(const Journal& a, const Journal& b) {
    if (a.state != b.state || a.directories != b.directories || a.steps.size() != b.steps.size()) return false;
    for (size_t i = 0; i < a.steps.size(); ++i) {
        const JournalStep &x = a.steps[i], &y = b.steps[i];
        if (x.kind != y.kind || x.path != y.path || x.temp != y.temp || x.backup != y.backup || x.aside != y.aside ||
            x.newSize != y.newSize || x.newHash != y.newHash) {
            return false;
        }
    }
    return true;
}

bool Names(const Journal& journal, const std::string& file) {
    if (file == kJournalName || file == kJournalNextName) return true;
    for (const JournalStep& step : journal.steps) {
        if (file == step.path || file == step.temp || file == step.backup || file == step.aside) return true;
    }
    return false;
}

void Settle(const std::vector<uint8_t>& bytes) {
    MemoryTreeFileSystem tree = FuzzOldTree();
    tree.files["app.bin.hvnew0"] = FuzzNewProgram();
    tree.files["app.bin.hvold0"] = tree.files["app.bin"];
    tree.files[kJournalName] = bytes;
    const MemoryTreeFileSystem before = tree;

    Journal journal;
    const bool readable = ReadJournal(bytes.data(), bytes.size(), &journal);
    if (readable) {
        const std::vector<uint8_t> again = WriteJournal(journal);
        Journal reread;
        if (!ReadJournal(again.data(), again.size(), &reread) || !Same(journal, reread)) abort();
    }
    std::string reason;
    const uint32_t result = SettleInterruptedApplication(tree, &reason);
    if (result != PATCHLIB_OK && (result != PATCHLIB_ERR_JOURNAL || reason.empty())) abort();
    if (!readable && (result == PATCHLIB_OK || tree.files != before.files || tree.directories != before.directories)) {
        abort();
    }
    // Files it does not name are as they were; so are directories it does not list.
    for (const auto& [name, content] : before.files) {
        if (!Names(journal, name) && (!tree.files.count(name) || tree.files.at(name) != content)) abort();
    }
    for (const auto& [name, content] : tree.files) {
        if (!before.files.count(name) && !Names(journal, name)) abort();
    }
    for (const std::string& directory : before.directories) {
        if (!tree.directories.count(directory) &&
            std::find(journal.directories.begin(), journal.directories.end(), directory) == journal.directories.end()) {
            abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    std::vector<uint8_t> bytes(data + 1, data + size);
    if (data[0] & 1) {
        const uint32_t crc = Crc32(bytes.data(), bytes.size());
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(crc >> (8 * i)));
    }
    Settle(bytes);
    return 0;
}
