#include "patchlib/pe_layout.h"

#include <algorithm>

#include "patchlib/byte_io.h"

namespace {

constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kMagicPe32 = 0x10B;
constexpr uint16_t kMagicPe32Plus = 0x20B;
constexpr uint32_t kRelocationDirectory = 5;
constexpr uint16_t kRelocationHighLow = 3;
constexpr uint16_t kRelocationDir64 = 10;
constexpr size_t kSectionHeaderSize = 40;

// The relocation table: blocks of a page address, a block size and 16-bit entries.
bool ReadRelocations(const uint8_t* data, uint32_t tableRva, uint32_t tableSize, ExecutableLayout* layout) {
    if (tableSize == 0) return true;
    uint32_t tableOffset = 0;
    if (!FileOffsetOf(*layout, tableRva, &tableOffset)) return false;
    // The whole table must lie in the raw data of the section that holds its start.
    const auto holder = std::find_if(layout->sections.begin(), layout->sections.end(), [&](const ExecutableSection& s) {
        return tableOffset >= s.rawOffset && tableOffset - s.rawOffset < s.rawSize;
    });
    if (holder == layout->sections.end() || tableSize > holder->rawOffset + holder->rawSize - tableOffset) return false;
    const unsigned width = layout->machine == ExecutableMachine::kAmd64 ? 8 : 4;
    const uint16_t wanted = layout->machine == ExecutableMachine::kAmd64 ? kRelocationDir64 : kRelocationHighLow;
    for (uint32_t at = 0; at + 8 <= tableSize;) {
        const uint8_t* block = data + tableOffset + at;
        const uint32_t page = LoadU32(block);
        const uint32_t blockSize = LoadU32(block + 4);
        if (blockSize < 8 || blockSize > tableSize - at || blockSize % 2) return false;
        for (uint32_t entry = 8; entry + 2 <= blockSize; entry += 2) {
            const uint16_t value = LoadU16(block + entry);
            if (value >> 12 != wanted) continue;  // padding (0) and other kinds are passed over
            const uint64_t rva = static_cast<uint64_t>(page) + (value & 0x0FFF);
            uint32_t offset = 0;
            if (rva > 0xFFFFFFFFu || !FileOffsetOf(*layout, static_cast<uint32_t>(rva), &offset)) continue;
            // All of the address inside the same section's raw data.
            uint32_t last = 0;
            if (!FileOffsetOf(*layout, static_cast<uint32_t>(rva + width - 1), &last) || last != offset + width - 1) {
                continue;
            }
            layout->absoluteAddresses.push_back(offset);
        }
        at += blockSize;
    }
    SettleAbsoluteAddresses(layout, width);
    return true;
}

}  // namespace

bool ReadPeLayout(const uint8_t* data, size_t size, ExecutableLayout* result) {
    if (!FitsIn(size, 0, 64) || data[0] != 'M' || data[1] != 'Z') return false;
    const uint32_t peOffset = LoadU32(data + 0x3C);
    if (!FitsIn(size, peOffset, 24) || LoadU32(data + peOffset) != 0x00004550u) return false;  // "PE\0\0"
    const uint8_t* coff = data + peOffset + 4;
    ExecutableLayout layout;
    const uint16_t machine = LoadU16(coff);
    if (machine == kMachineI386) {
        layout.machine = ExecutableMachine::kI386;
    } else if (machine == kMachineAmd64) {
        layout.machine = ExecutableMachine::kAmd64;
    } else {
        return false;
    }
    const uint16_t sectionCount = LoadU16(coff + 2);
    const uint16_t optionalSize = LoadU16(coff + 16);
    const uint64_t optionalOffset = static_cast<uint64_t>(peOffset) + 24;
    if (sectionCount == 0 || sectionCount > kMaxSections || !FitsIn(size, optionalOffset, optionalSize)) return false;
    const uint8_t* optional = data + optionalOffset;
    if (optionalSize < 2) return false;
    const uint16_t magic = LoadU16(optional);
    const bool plus = magic == kMagicPe32Plus;
    if (magic != kMagicPe32 && !plus) return false;
    if (plus != (layout.machine == ExecutableMachine::kAmd64)) return false;
    // The fields up to the directory count, then the directories of 8 bytes each.
    const uint32_t countOffset = plus ? 108 : 92;
    if (optionalSize < countOffset + 4) return false;
    layout.imageBase = plus ? LoadU64(optional + 24) : LoadU32(optional + 28);
    layout.sizeOfImage = LoadU32(optional + 56);
    const uint32_t directories = LoadU32(optional + countOffset);
    if (directories > (optionalSize - countOffset - 4) / 8) return false;

    const uint64_t tableOffset = optionalOffset + optionalSize;
    if (!FitsIn(size, tableOffset, static_cast<uint64_t>(sectionCount) * kSectionHeaderSize)) return false;
    for (uint16_t i = 0; i < sectionCount; ++i) {
        const uint8_t* header = data + tableOffset + i * kSectionHeaderSize;
        ExecutableSection section;
        section.virtualSize = LoadU32(header + 8);
        section.virtualAddress = LoadU32(header + 12);
        section.rawSize = LoadU32(header + 16);
        section.rawOffset = LoadU32(header + 20);
        section.executable = (LoadU32(header + 36) & 0x20000000u) != 0;  // IMAGE_SCN_MEM_EXECUTE
        section.name = LoadU64(header);
        if (section.rawSize == 0) section.rawOffset = 0;  // no bytes in the file
        if (!FitsIn(size, section.rawOffset, section.rawSize)) return false;
        if (static_cast<uint64_t>(section.virtualAddress) + std::max(section.virtualSize, section.rawSize) >
            0xFFFFFFFFu) {
            return false;
        }
        layout.sections.push_back(section);
    }
    if (directories > kRelocationDirectory) {
        const uint8_t* directory = optional + countOffset + 4 + kRelocationDirectory * 8;
        if (!ReadRelocations(data, LoadU32(directory), LoadU32(directory + 4), &layout)) return false;
    }
    *result = std::move(layout);
    return true;
}
