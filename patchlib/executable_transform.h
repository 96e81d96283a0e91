// The transform for executables. Between two builds of a program most of the bytes that
// differ are addresses: code or data moved, and every call, jump and pointer to it
// changed. The patch stores where each stretch of the old address space went (an
// AddressMap); from it, maker and applier alike predict the new value of every
// reference in the old file, and the delta is taken from the old file with those
// predictions to the new file. Where the prediction is right, the difference is zero.
// No Windows API here.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "patchlib/address_map.h"
#include "patchlib/executable_layout.h"

// A predicted value: the four bytes at offset of the old file read as value (little-endian).
struct ReferenceFix {
    uint32_t offset = 0;
    uint32_t value = 0;
};

// The fixes for the references of the old file that map moved, ascending by offset and
// apart. References whose address or source the map does not hold stay as they are.
std::vector<ReferenceFix> PredictReferences(const uint8_t* old, size_t size, const ExecutableLayout& layout,
                                            const AddressMap& map);

// Writes the fixes that fall into old[from, from + length) into window, which holds those
// bytes (a fix may straddle either edge).
void ApplyFixes(const std::vector<ReferenceFix>& fixes, size_t from, uint8_t* window, size_t length);

// A stretch of the new file that the delta takes from the old one (file offsets).
struct AlignedStretch {
    uint32_t oldOffset = 0;
    uint32_t newOffset = 0;
    uint32_t length = 0;
};

// The map that the stretches imply, in addresses: each stretch split where a section of
// either file ends, short gaps between segments of equal shift closed, and the
// uninitialised tails of sections that both files have mapped by where their data end.
// Then, where the references themselves show that it is wrong (data that moved inside
// a section, uninitialised variables, import tables), the map is corrected from what the
// references of the old file that the stretches align became in the new file.
AddressMap BuildAddressMap(const uint8_t* oldData, size_t oldSize, const ExecutableLayout& oldLayout,
                           const uint8_t* newData, const ExecutableLayout& newLayout,
                           const std::vector<AlignedStretch>& stretches);
