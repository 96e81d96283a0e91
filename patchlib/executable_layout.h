// The layout of an executable file as the transform for executables needs it: its
// sections and where its absolute addresses lie (the relocations). Windows programs and
// DLLs (PE, i386 or x86-64) and Linux ones (ELF, x86-64) are read into the same form:
// addresses relative to the image base, and for each section the file bytes it maps.
// Only read, never trusted: a file that is not whole is refused as a whole, and such a
// file is patched as plain bytes. No Windows API here.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

enum class ExecutableMachine { kNone, kI386, kAmd64 };

struct ExecutableSection {
    uint64_t name = 0;  // its eight name bytes as one number, to pair the sections of two builds
    uint32_t virtualAddress = 0;
    uint32_t virtualSize = 0;
    uint32_t rawOffset = 0;  // in the file
    uint32_t rawSize = 0;    // within the file (checked)
    bool executable = false;  // holds code
    bool Executable() const { return executable; }
    // The bytes of the section that the file holds and the image maps (a virtualSize of 0
    // maps rawSize).
    uint32_t MappedRawSize() const { return virtualSize && virtualSize < rawSize ? virtualSize : rawSize; }
    uint32_t VirtualEnd() const { return virtualAddress + (virtualSize > rawSize ? virtualSize : rawSize); }
};

struct ExecutableLayout {
    ExecutableMachine machine = ExecutableMachine::kNone;
    uint64_t imageBase = 0;
    uint32_t sizeOfImage = 0;
    std::vector<ExecutableSection> sections;
    // File offsets of the absolute addresses that the relocations name (4 bytes each for
    // i386, 8 for x86-64), ascending, apart, and each wholly inside one section's mapped
    // data.
    std::vector<uint32_t> absoluteAddresses;
};

// At most this many sections (the Windows loader's own limit; for ELF files, of the
// sections that the image maps).
constexpr size_t kMaxSections = 96;

// A PE file of one of the two machines, or an ELF file for x86-64, whose sections'
// mapped data ascend and lie apart in the address space and in the file; false (layout
// untouched) for anything else.
bool ReadExecutableLayout(const uint8_t* data, size_t size, ExecutableLayout* layout);

// The file offset of an address relative to the image base; false when no section's
// mapped data holds it.
bool FileOffsetOf(const ExecutableLayout& layout, uint32_t rva, uint32_t* offset);

// Sorts the absolute addresses and keeps, of overlapping ones, the lowest.
void SettleAbsoluteAddresses(ExecutableLayout* layout, unsigned width);
