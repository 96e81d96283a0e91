#include "patchlib/x86_references.h"

#include <algorithm>
#include <cstdint>

#include "patchlib/byte_io.h"

namespace {

bool InsideSection(const ExecutableLayout& layout, uint64_t rva, bool executableOnly) {
    for (const ExecutableSection& s : layout.sections) {
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
    const size_t modrm = op == 0x0F ? j + 2 : j + 1;
    // Most bytes fail here: no RIP-relative operand.
    if (modrm >= end || (data[modrm] & 0xC7) != 0x05) return false;
    unsigned tail = 0;
    if (PlainModRmOpcode(op)) {
    } else if (op == 0x0F) {
        if (!PlainModRmOpcode0F(data[j + 1])) return false;
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
    *field = modrm + 1;
    *immediate = tail;
    return true;
}

}  // namespace

namespace {

// The walk: absolute references in the order of the relocations, relative ones found in
// the code sections between them, each passed on once nothing before it is left.
class Walk {
public:
    Walk(const uint8_t* data, size_t size, const ExecutableLayout& layout, ReferenceVisitor& visitor)
        : data_(data), size_(size), layout_(layout), visitor_(visitor),
          amd64_(layout.machine == ExecutableMachine::kAmd64), width_(amd64_ ? 8 : 4) {
        NextAbsolute();
    }

    void Run() {
        std::vector<const ExecutableSection*> code;
        for (const ExecutableSection& s : layout_.sections) {
            if (s.Executable() && s.MappedRawSize()) code.push_back(&s);
        }
        std::stable_sort(code.begin(), code.end(),
                         [](const ExecutableSection* a, const ExecutableSection* b) { return a->rawOffset < b->rawOffset; });
        for (const ExecutableSection* section : code) WalkCode(*section);
        while (absolute_ != kNone) EmitAbsolute();
    }

private:
    static constexpr size_t kNone = SIZE_MAX;

    // The next relocation that holds an address inside the image, from index next_ on.
    void NextAbsolute() {
        absolute_ = kNone;
        for (; next_ < layout_.absoluteAddresses.size(); ++next_) {
            const uint32_t offset = layout_.absoluteAddresses[next_];
            if (offset + uint64_t{width_} > size_) continue;
            const uint64_t value = amd64_ ? LoadU64(data_ + offset) : LoadU32(data_ + offset);
            if (value < layout_.imageBase || value - layout_.imageBase >= layout_.sizeOfImage) continue;
            absolute_ = offset;
            absoluteTarget_ = static_cast<uint32_t>(value - layout_.imageBase);
            ++next_;
            return;
        }
    }

    void EmitAbsolute() {
        AddressReference reference;
        reference.offset = static_cast<uint32_t>(absolute_);
        reference.target = absoluteTarget_;
        Emit(reference, width_);
        NextAbsolute();
    }

    void Emit(const AddressReference& reference, unsigned width) {
        if (reference.offset < emittedEnd_) return;  // sections that share file bytes
        emittedEnd_ = uint64_t{reference.offset} + width;
        visitor_.Visit(reference, width);
    }

    void WalkCode(const ExecutableSection& section) {
        const size_t begin = section.rawOffset, end = begin + section.MappedRawSize();
        for (size_t i = begin; i + 5 <= end;) {
            size_t field = 0;
            unsigned immediate = 0;
            bool branch = false;
            const uint8_t byte = data_[i];
            if (byte == 0xE8 || byte == 0xE9) {
                field = i + 1;
                branch = true;
            } else if (byte == 0x0F && (data_[i + 1] & 0xF0) == 0x80) {
                field = i + 2;
                branch = true;
            } else if (!amd64_ || !RipRelativeAt(data_, i, end, &field, &immediate)) {
                ++i;
                continue;
            }
            const size_t fieldEnd = field + 4 + immediate;
            // Absolute references that end before the field go first; one that overlaps
            // it wins over it.
            while (absolute_ != kNone && absolute_ + width_ <= field) EmitAbsolute();
            const bool clashes = absolute_ != kNone && absolute_ < field + 4;
            if (fieldEnd > end || clashes) {
                ++i;
                continue;
            }
            AddressReference reference;
            reference.offset = static_cast<uint32_t>(field);
            reference.relative = true;
            reference.source = static_cast<uint32_t>(section.virtualAddress + (fieldEnd - begin));
            reference.target = reference.source + LoadU32(data_ + field);  // wraps as the processor's sum does
            // Branches lead into code; RIP-relative operands into any section.
            if (!InsideSection(layout_, reference.target, branch)) {
                ++i;
                continue;
            }
            Emit(reference, 4);
            i = fieldEnd;
        }
    }

    const uint8_t* data_;
    size_t size_;
    const ExecutableLayout& layout_;
    ReferenceVisitor& visitor_;
    const bool amd64_;
    const unsigned width_;
    size_t next_ = 0;
    size_t absolute_ = kNone;
    uint32_t absoluteTarget_ = 0;
    uint64_t emittedEnd_ = 0;
};

}  // namespace

void VisitReferences(const uint8_t* data, size_t size, const ExecutableLayout& layout, ReferenceVisitor& visitor) {
    Walk(data, size, layout, visitor).Run();
}

std::vector<AddressReference> FindReferences(const uint8_t* data, size_t size, const ExecutableLayout& layout) {
    class Collect : public ReferenceVisitor {
    public:
        std::vector<AddressReference> found;
        void Visit(const AddressReference& reference, unsigned) override { found.push_back(reference); }
    } collect;
    VisitReferences(data, size, layout, collect);
    return std::move(collect.found);
}
