// Where each stretch of an old executable's address space lies in the new one: a list
// of segments, each a range of old addresses (relative to the image base) and the
// amount it moved. The executable transform stores one in the patch, and predicts from
// it the new values of the old file's references. Besides the references that code and
// relocations show, a map names tables of 32-bit words that hold addresses counted from
// a base: exception tables, import and resource directories and the like hold addresses
// relative to the image base (base 0), some compilers' tables offsets into the code.
// Read from the patch, so everything is checked: ascending, apart, and inside the
// 32-bit address space.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

struct AddressSegment {
    uint32_t oldStart = 0;
    uint32_t length = 0;  // at least 1
    int64_t shift = 0;    // new address = old address + shift
};

// Words at oldStart, oldStart + 4, ... (words of them), each an address minus base.
struct WordTable {
    uint32_t oldStart = 0;
    uint32_t words = 0;  // at least 1
    int64_t base = 0;
};

class AddressMap {
public:
    uint64_t newImageBase = 0;  // where the new file's absolute addresses count from
    std::vector<AddressSegment> segments;  // ascending, apart
    std::vector<WordTable> tables;         // ascending, apart

    // The new address of an old one; false when no segment holds it.
    bool Map(uint32_t oldAddress, uint32_t* newAddress) const;

    // Makes Map quick: where in the segments each page of addresses starts. Again after
    // every change of the segments.
    void Index();

private:
    // firstEnding_[p]: the first segment that ends after the start of page p (pages of
    // 1 << pageShift_ bytes, at most kIndexPages of them).
    static constexpr uint64_t kIndexPages = 65536;
    std::vector<uint32_t> firstEnding_;
    unsigned pageShift_ = 12;
};

// Serialised: varint new image base; varint count, then per segment varint gap since the
// end of the one before, varint length, svarint change of shift against the one before;
// varint count, then per table varint gap since the end of the one before, varint
// words, svarint base.
void WriteAddressMap(const AddressMap& map, std::vector<uint8_t>* out);
// False for anything but exactly one well-formed map in the bytes.
bool ReadAddressMap(const uint8_t* data, size_t size, AddressMap* map);
