// libFuzzer target over the PE layout reader: whatever the bytes, nothing is read outside
// them, and what it accepts is consistent: sections inside the file, absolute addresses
// ascending, apart, and inside a section's data.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "patchlib/pe_layout.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> copy(data, data + size);  // exact size: a read past it is caught
    PeLayout layout;
    if (!ReadPeLayout(copy.data(), copy.size(), &layout)) return 0;
    for (const PeSection& section : layout.sections) {
        if (section.rawOffset > size || section.rawSize > size - section.rawOffset) abort();
    }
    const uint32_t width = layout.machine == PeMachine::kAmd64 ? 8 : 4;
    for (size_t i = 0; i < layout.absoluteAddresses.size(); ++i) {
        const uint32_t offset = layout.absoluteAddresses[i];
        if (static_cast<uint64_t>(offset) + width > size) abort();
        if (i && offset < layout.absoluteAddresses[i - 1] + width) abort();
    }
    return 0;
}
