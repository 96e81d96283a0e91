#include "patchlib/elf_layout.h"

#include <algorithm>
#include <cstring>

#include "patchlib/byte_io.h"

namespace {

constexpr uint16_t kMachineX86_64 = 62;
constexpr uint32_t kTypeNoBits = 8;  // SHT_NOBITS: no bytes in the file (.bss)
constexpr uint32_t kTypeRela = 4;    // SHT_RELA
constexpr uint64_t kFlagAlloc = 0x2, kFlagExecute = 0x4;
constexpr uint32_t kRelocationRelative = 8;  // R_X86_64_RELATIVE
constexpr size_t kSectionHeaderSize = 64, kRelaSize = 24;
constexpr uint64_t kSpace = uint64_t{1} << 32;

struct SectionHeader {
    uint32_t name, type;
    uint64_t flags, address, offset, size;
};

SectionHeader Header(const uint8_t* p) {
    return {LoadU32(p), LoadU32(p + 4), LoadU64(p + 8), LoadU64(p + 16), LoadU64(p + 24), LoadU64(p + 32)};
}

// The first eight bytes of a section's name, from the section name table when it is whole.
uint64_t NameOf(const uint8_t* data, size_t size, const SectionHeader* names, uint32_t at) {
    if (!names || names->type == kTypeNoBits || !FitsIn(size, names->offset, names->size) || at >= names->size) return 0;
    uint8_t bytes[8] = {};
    for (size_t k = 0; k < 8 && at + k < names->size && data[names->offset + at + k]; ++k) {
        bytes[k] = data[names->offset + at + k];
    }
    return LoadU64(bytes);
}

}  // namespace

bool ReadElfLayout(const uint8_t* data, size_t size, ExecutableLayout* result) {
    static const uint8_t kIdent[] = {0x7F, 'E', 'L', 'F', 2, 1};  // 64-bit, little-endian
    if (!FitsIn(size, 0, 64) || memcmp(data, kIdent, sizeof kIdent) != 0 || LoadU16(data + 18) != kMachineX86_64) {
        return false;
    }
    const uint64_t tableOffset = LoadU64(data + 0x28);
    const uint16_t entrySize = LoadU16(data + 0x3A), count = LoadU16(data + 0x3C), namesIndex = LoadU16(data + 0x3E);
    if (entrySize != kSectionHeaderSize || count == 0 || !FitsIn(size, tableOffset, uint64_t{count} * entrySize)) {
        return false;
    }
    std::vector<SectionHeader> headers;
    for (uint16_t i = 0; i < count; ++i) headers.push_back(Header(data + tableOffset + i * kSectionHeaderSize));
    const SectionHeader* names = namesIndex < count ? &headers[namesIndex] : nullptr;

    ExecutableLayout layout;
    layout.machine = ExecutableMachine::kAmd64;
    for (const SectionHeader& h : headers) {
        if (!(h.flags & kFlagAlloc) || h.size == 0) continue;
        const bool inFile = h.type != kTypeNoBits;
        if (h.address >= kSpace || h.size >= kSpace - h.address || (inFile && !FitsIn(size, h.offset, h.size))) return false;
        if (layout.sections.size() == kMaxSections) return false;
        ExecutableSection section;
        section.name = NameOf(data, size, names, h.name);
        section.virtualAddress = static_cast<uint32_t>(h.address);
        section.virtualSize = static_cast<uint32_t>(h.size);
        section.rawOffset = inFile ? static_cast<uint32_t>(h.offset) : 0;
        section.rawSize = inFile ? static_cast<uint32_t>(h.size) : 0;
        section.executable = (h.flags & kFlagExecute) != 0;
        layout.sections.push_back(section);
        layout.sizeOfImage = std::max(layout.sizeOfImage, section.VirtualEnd());
    }
    if (layout.sections.empty()) return false;
    // The places of relative relocations: each holds the address it names.
    for (const SectionHeader& h : headers) {
        if (h.type != kTypeRela || !(h.flags & kFlagAlloc) || !FitsIn(size, h.offset, h.size)) continue;
        for (uint64_t at = 0; at + kRelaSize <= h.size; at += kRelaSize) {
            const uint8_t* entry = data + h.offset + at;
            if ((LoadU64(entry + 8) & 0xFFFFFFFFu) != kRelocationRelative) continue;
            const uint64_t place = LoadU64(entry);
            uint32_t offset = 0, last = 0;
            if (place + 7 >= kSpace || !FileOffsetOf(layout, static_cast<uint32_t>(place), &offset) ||
                !FileOffsetOf(layout, static_cast<uint32_t>(place + 7), &last) || last != offset + 7) {
                continue;
            }
            layout.absoluteAddresses.push_back(offset);
        }
    }
    SettleAbsoluteAddresses(&layout, 8);
    *result = std::move(layout);
    return true;
}
