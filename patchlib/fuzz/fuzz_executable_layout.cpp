// libFuzzer target over the layout readers of executables (PE and ELF): whatever the
// bytes, nothing is read outside them, and what they accept is consistent: sections
// inside the file, absolute addresses ascending, apart, and inside a section's data.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "patchlib/executable_layout.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> copy(data, data + size);  // exact size: a read past it is caught
    ExecutableLayout layout;
    if (!ReadExecutableLayout(copy.data(), copy.size(), &layout)) return 0;
    for (const ExecutableSection& section : layout.sections) {
        if (section.rawOffset > size || section.rawSize > size - section.rawOffset) abort();
    }
    const uint32_t width = layout.machine == ExecutableMachine::kAmd64 ? 8 : 4;  // ELF files are x86-64
    for (size_t i = 0; i < layout.absoluteAddresses.size(); ++i) {
        const uint32_t offset = layout.absoluteAddresses[i];
        if (static_cast<uint64_t>(offset) + width > size) abort();
        if (i && offset < layout.absoluteAddresses[i - 1] + width) abort();
    }
    return 0;
}
