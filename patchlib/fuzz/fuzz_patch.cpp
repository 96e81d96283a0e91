// Fuzz target for everything that reads patch bytes. The first input byte picks:
//   mode 0  the rest is a patch file, applied to a tree in memory as it is;
//   mode 1  the rest is a patch file without its trailer, which is added first, so
//           the records behind the checksum get exercised;
//   mode 2  the rest is a delta payload (after a 4-byte new size) for DecodeDelta;
//   mode 3  the same against a small x86-64 program, so that payloads of the
//           executable transform get as far as laying their fixes over it.
// The upper six bits of the first byte make the receiver answer "stop" at that
// message (0: never). Whatever the input, nothing may fault, leak or allocate wildly,
// and a refused or stopped application must leave the tree as it was.
#include <zlib.h>

#include <cstdlib>
#include <cstring>

#include "patchlib/delta.h"
#include "patchlib/fuzz/fuzz_seed_tree.h"
#include "patchlib/tests/synthetic_pe.h"
#include "patchlib/tree_apply.h"

namespace {

class Receiver : public PatchMessages {
public:
    explicit Receiver(unsigned stopAt) : stopAt_(stopAt) {}
    bool Send(uint32_t id, void* parameter) override {
        // Touch what the callers would read.
        if (id == PATCHLIB_MSG_FILE_START || id == PATCHLIB_MSG_COMMENT || id == PATCHLIB_MSG_COPYRIGHT ||
            id == PATCHLIB_MSG_ERROR_TEXT || id == PATCHLIB_MSG_ERROR_TITLE) {
            (void)strlen(static_cast<const char*>(parameter));
        }
        if (id == PATCHLIB_MSG_FILE_PROGRESS && *static_cast<uint16_t*>(parameter) > PATCHLIB_PROGRESS_COMPLETE) abort();
        return ++count_ != stopAt_;
    }

private:
    unsigned stopAt_;
    unsigned count_ = 0;
};

void ApplyToTree(const uint8_t* patch, size_t size, unsigned stopAt) {
    MemoryTreeFileSystem tree = FuzzOldTree();
    const MemoryTreeFileSystem original = tree;
    Receiver receiver(stopAt);
    const uint32_t result = ApplyPatchToTree(patch, size, tree, receiver);
    if (result != PATCHLIB_OK && result != PATCHLIB_ERR_ROLLBACK &&
        (tree.files != original.files || tree.directories != original.directories)) {
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const unsigned mode = data[0] & 3, stopAt = data[0] >> 2;
    ++data;
    --size;
    switch (mode) {
    case 0:
        ApplyToTree(data, size, stopAt);
        break;
    case 1: {
        std::vector<uint8_t> sealed(data, data + size);
        const uint32_t crc = static_cast<uint32_t>(crc32(0, data, static_cast<uInt>(size)));
        for (int i = 0; i < 4; ++i) sealed.push_back(static_cast<uint8_t>(crc >> (8 * i)));
        ApplyToTree(sealed.data(), sealed.size(), stopAt);
        break;
    }
    case 2:
    case 3: {
        if (size < 4) return 0;
        const uint32_t newSize = (data[0] | data[1] << 8 | data[2] << 16 | uint32_t(data[3]) << 24) & 0xFFFFF;
        static const std::vector<uint8_t> program = BuildPe(MakeProgram(true, 30));
        const std::vector<uint8_t> old = mode == 2 ? FuzzOldProgram() : program;
        std::vector<uint8_t> out;
        DecodeDelta(old.data(), old.size(), data + 4, size - 4, newSize, &out);
        break;
    }
    }
    return 0;
}
