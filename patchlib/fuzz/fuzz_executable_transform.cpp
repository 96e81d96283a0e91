// libFuzzer target over the executable transform's decoder: an old file and an address
// map as a patch would bring them (a 4-byte length of the old file, the old file, the
// map). Whatever the bytes, nothing is read or written outside them, and the fixes that
// come out lie inside the old file, ascending and apart.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "patchlib/address_map.h"
#include "patchlib/executable_layout.h"
#include "patchlib/executable_transform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    uint32_t oldSize;
    memcpy(&oldSize, data, 4);
    if (oldSize > size - 4) return 0;
    std::vector<uint8_t> old(data + 4, data + 4 + oldSize);  // exact sizes: a read past them is caught
    const std::vector<uint8_t> mapBytes(data + 4 + oldSize, data + size);
    ExecutableLayout layout;
    AddressMap map;
    if (!ReadExecutableLayout(old.data(), old.size(), &layout) || !ReadAddressMap(mapBytes.data(), mapBytes.size(), &map)) {
        return 0;
    }
    const std::vector<ReferenceFix> fixes = PredictReferences(old.data(), old.size(), layout, map);
    for (size_t i = 0; i < fixes.size(); ++i) {
        if (uint64_t{fixes[i].offset} + 4 > old.size()) abort();
        if (i && fixes[i].offset < fixes[i - 1].offset + 4) abort();
    }
    // Laid over the whole file and over odd windows of it, as the decoder does.
    ApplyFixes(fixes, 0, old.data(), old.size());
    for (size_t from = 0; from < old.size(); from += 4093) {
        const size_t length = old.size() - from < 4093 ? old.size() - from : 4093;
        std::vector<uint8_t> window(old.begin() + from, old.begin() + from + length);
        ApplyFixes(fixes, from, window.data(), window.size());
        if (memcmp(window.data(), old.data() + from, length) != 0) abort();
    }
    return 0;
}
