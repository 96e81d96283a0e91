#include "patchlib/executable_layout.h"

#include <algorithm>

#include "patchlib/elf_layout.h"
#include "patchlib/pe_layout.h"

bool ReadExecutableLayout(const uint8_t* data, size_t size, ExecutableLayout* layout) {
    return ReadPeLayout(data, size, layout) || ReadElfLayout(data, size, layout);
}

bool FileOffsetOf(const ExecutableLayout& layout, uint32_t rva, uint32_t* offset) {
    for (const ExecutableSection& section : layout.sections) {
        if (rva >= section.virtualAddress && rva - section.virtualAddress < section.MappedRawSize()) {
            *offset = section.rawOffset + (rva - section.virtualAddress);
            return true;
        }
    }
    return false;
}

void SettleAbsoluteAddresses(ExecutableLayout* layout, unsigned width) {
    std::vector<uint32_t>& addresses = layout->absoluteAddresses;
    std::sort(addresses.begin(), addresses.end());
    // Two relocations of one address, or overlapping ones, would be transformed twice.
    std::vector<uint32_t> apart;
    for (const uint32_t offset : addresses) {
        if (apart.empty() || offset >= uint64_t{apart.back()} + width) apart.push_back(offset);
    }
    addresses.swap(apart);
}
