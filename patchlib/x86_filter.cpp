#include "patchlib/x86_filter.h"

namespace {

// Only displacements that fit 25 signed bits (top byte 00 or FF) are converted, and
// they are mapped modulo 2^25 so the result again has a top byte of 00 or FF: the
// unfilter then recognises exactly the places the filter converted. After an E8/E9
// the walk steps over the four operand bytes whether they were converted or not, so
// no conversion ever touches bytes that another decision looked at, and both
// directions take the same decisions at the same positions.
constexpr uint32_t kMask = (1u << 25) - 1;

inline uint32_t Load32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline void Store32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}
inline uint32_t SignExtend25(uint32_t v) { return (v & kMask) | (0u - ((v >> 24) & 1u)) << 25; }

template <bool kForward>
void Convert(uint8_t* data, size_t size) {
    if (size < 5) return;
    for (size_t i = 0; i + 5 <= size;) {
        if ((data[i] & 0xFE) != 0xE8) {
            ++i;
            continue;
        }
        uint8_t* operand = data + i + 1;
        if (operand[3] == 0x00 || operand[3] == 0xFF) {
            const uint32_t value = Load32(operand);
            const uint32_t position = static_cast<uint32_t>(i + 5);
            Store32(operand, SignExtend25(kForward ? value + position : value - position));
        }
        i += 5;
    }
}

}  // namespace

void X86Filter(uint8_t* data, size_t size) { Convert<true>(data, size); }
void X86Unfilter(uint8_t* data, size_t size) { Convert<false>(data, size); }
