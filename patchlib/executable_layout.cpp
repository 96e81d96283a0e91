#include "patchlib/executable_layout.h"

#include <algorithm>
#include <utility>

#include "patchlib/elf_layout.h"
#include "patchlib/pe_layout.h"

namespace {

// The sections that hold mapped data follow one another in the address space and in the
// file alike, none overlapping another, as every linker lays them out: so an address
// has at most one place in the file, and ascending addresses ascending places.
bool SectionsInOrder(const ExecutableLayout& layout) {
    uint64_t addressEnd = 0, fileEnd = 0;
    for (const ExecutableSection& s : layout.sections) {
        const uint32_t mapped = s.MappedRawSize();
        if (!mapped) continue;
        if (s.virtualAddress < addressEnd || s.rawOffset < fileEnd) return false;
        addressEnd = uint64_t{s.virtualAddress} + mapped;
        fileEnd = uint64_t{s.rawOffset} + mapped;
    }
    return true;
}

}  // namespace

bool ReadExecutableLayout(const uint8_t* data, size_t size, ExecutableLayout* layout) {
    ExecutableLayout read;
    if (!ReadPeLayout(data, size, &read) && !ReadElfLayout(data, size, &read)) return false;
    if (!SectionsInOrder(read)) return false;
    *layout = std::move(read);
    return true;
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
