// The places where a Windows executable names an address inside itself: absolute
// addresses (from the base relocations), relative branch and call targets (E8, E9,
// 0F 8x rel32) and, in x86-64 code, RIP-relative memory operands. When code moves
// between two builds, these numbers change all over the file although the program did
// not; the executable transform predicts their new values.
//
// Found by a scan of the raw bytes, not a full disassembly: a few bytes that only look
// like a branch may be taken for one. That costs a little size at worst, never
// correctness, since maker and applier find exactly the same places in the same old
// file. No Windows API here.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "patchlib/executable_layout.h"

struct AddressReference {
    uint32_t offset = 0;    // file offset of the 32-bit field (the low half of a 64-bit address)
    bool relative = false;  // the field counts from source; otherwise it is image base + target
    uint32_t source = 0;    // address (relative to the image base) after the instruction
    uint32_t target = 0;    // address referred to, relative to the image base
};

class ReferenceVisitor {
public:
    // width: the bytes of the reference in the file (4, or 8 for an absolute x86-64 address)
    virtual void Visit(const AddressReference& reference, unsigned width) = 0;

protected:
    ~ReferenceVisitor() = default;
};

// Every reference of the file that layout describes, ascending by offset, no two
// overlapping: visited one by one (nothing held), or all in a list.
void VisitReferences(const uint8_t* data, size_t size, const ExecutableLayout& layout, ReferenceVisitor& visitor);
std::vector<AddressReference> FindReferences(const uint8_t* data, size_t size, const ExecutableLayout& layout);
