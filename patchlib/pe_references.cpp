#include "patchlib/pe_references.h"

#include <algorithm>

namespace {

uint32_t U32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}
uint64_t U64(const uint8_t* p) { return static_cast<uint64_t>(U32(p)) | static_cast<uint64_t>(U32(p + 4)) << 32; }

bool InsideSection(const PeLayout& layout, uint64_t rva, bool executableOnly) {
    for (const PeSection& s : layout.sections) {
        if (executableOnly && !s.Executable()) continue;
        if (rva >= s.virtualAddress && rva < s.VirtualEnd()) return true;
    }
    return false;
}

// One-byte opcodes of common instructions whose ModRM byte may name a RIP-relative
// operand and that have no immediate after it (mov, lea, add, or, and, sub, xor, cmp,
// test, xchg, movsxd).
bool PlainModRmOpcode(uint8_t op) {
    switch (op) {
    case 0x01: case 0x03: case 0x09: case 0x0B: case 0x21: case 0x23: case 0x29: case 0x2B:
    case 0x31: case 0x33: case 0x39: case 0x3B: case 0x63: case 0x85: case 0x87: case 0x88:
    case 0x89: case 0x8A: case 0x8B: case 0x8D:
        return true;
    default:
        return false;
    }
}

// Two-byte (0F xx) opcodes of the same kind: SSE moves and arithmetic, movzx, movsx.
bool PlainModRmOpcode0F(uint8_t op) {
    switch (op) {
    case 0x10: case 0x11: case 0x28: case 0x29: case 0x2E: case 0x2F: case 0x54: case 0x57:
    case 0x58: case 0x59: case 0x5C: case 0x5E: case 0x6F: case 0x7F: case 0xB6: case 0xB7:
    case 0xBE: case 0xBF:
        return true;
    default:
        return false;
    }
}

// An x86-64 instruction at data[i] with a RIP-relative operand: where its 32-bit
// displacement lies and how many immediate bytes follow it. False when the bytes there
// are none of the recognised forms.
bool RipRelativeAt(const uint8_t* data, size_t i, size_t end, size_t* field, unsigned* immediate) {
    size_t j = i;
    if ((data[j] & 0xF0) == 0x40) ++j;  // REX
    if (j + 2 >= end) return false;
    const uint8_t op = data[j];
    size_t modrm = j + 1;
    unsigned tail = 0;
    if (PlainModRmOpcode(op)) {
    } else if (op == 0x0F && PlainModRmOpcode0F(data[j + 1])) {
        modrm = j + 2;
    } else if (op == 0xFF) {
        const unsigned reg = data[modrm] >> 3 & 7;
        if (reg != 2 && reg != 4 && reg != 6) return false;  // call, jmp, push
    } else if (op == 0xC7 || op == 0x81) {
        tail = 4;
    } else if (op == 0xC6 || op == 0x80 || op == 0x83) {
        tail = 1;
    } else {
        return false;
    }
    if (modrm >= end || (data[modrm] & 0xC7) != 0x05) return false;
    *field = modrm + 1;
    *immediate = tail;
    return true;
}

}  // namespace

std::vector<PeReference> FindPeReferences(const uint8_t* data, size_t size, const PeLayout& layout) {
    std::vector<PeReference> found;
    const bool amd64 = layout.machine == PeMachine::kAmd64;
    const unsigned width = amd64 ? 8 : 4;
    for (const uint32_t offset : layout.absoluteAddresses) {
        if (offset + static_cast<uint64_t>(width) > size) continue;
        const uint64_t value = amd64 ? U64(data + offset) : U32(data + offset);
        if (value < layout.imageBase || value - layout.imageBase >= layout.sizeOfImage) continue;
        PeReference reference;
        reference.offset = offset;
        reference.target = static_cast<uint32_t>(value - layout.imageBase);
        found.push_back(reference);
    }
    const std::vector<PeReference> absolute = found;
    // Relative ones, in the code sections, around the absolute ones.
    for (const PeSection& section : layout.sections) {
        if (!section.Executable()) continue;
        const size_t begin = section.rawOffset, end = begin + section.MappedRawSize();
        auto next = std::lower_bound(absolute.begin(), absolute.end(), begin,
                                     [](const PeReference& r, size_t at) { return r.offset < at; });
        for (size_t i = begin; i + 5 <= end;) {
            size_t field = 0;
            unsigned immediate = 0;
            bool branch = false;
            if (data[i] == 0xE8 || data[i] == 0xE9) {
                field = i + 1;
                branch = true;
            } else if (data[i] == 0x0F && (data[i + 1] & 0xF0) == 0x80) {
                field = i + 2;
                branch = true;
            } else if (!amd64 || !RipRelativeAt(data, i, end, &field, &immediate)) {
                ++i;
                continue;
            }
            const size_t fieldEnd = field + 4 + immediate;
            while (next != absolute.end() && next->offset + width <= field) ++next;
            const bool clashes = next != absolute.end() && next->offset < field + 4;
            if (fieldEnd > end || clashes) {
                ++i;
                continue;
            }
            const uint32_t source = static_cast<uint32_t>(section.virtualAddress + (fieldEnd - begin));
            const uint32_t target = source + U32(data + field);  // wraps as the processor's sum does
            // Branches lead into code; RIP-relative operands into any section.
            if (!InsideSection(layout, target, branch)) {
                ++i;
                continue;
            }
            PeReference reference;
            reference.offset = static_cast<uint32_t>(field);
            reference.relative = true;
            reference.source = source;
            reference.target = target;
            found.push_back(reference);
            i = fieldEnd;
        }
    }
    std::sort(found.begin(), found.end(), [](const PeReference& a, const PeReference& b) { return a.offset < b.offset; });
    return found;
}
