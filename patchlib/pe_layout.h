// The layout of a Windows executable (PE/COFF, i386 or x86-64) as a transform for
// executables needs it: its sections and where its absolute addresses lie (the base
// relocations). Only read, never trusted: anything that is not a well-formed PE file of
// one of the two machines is refused as a whole, and such a file is patched as plain
// bytes. No Windows API here.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

enum class PeMachine { kNone, kI386, kAmd64 };

struct PeSection {
    uint64_t name = 0;  // its eight name bytes as one number, to pair the sections of two builds
    uint32_t virtualAddress = 0;
    uint32_t virtualSize = 0;
    uint32_t rawOffset = 0;  // in the file
    uint32_t rawSize = 0;    // within the file (checked)
    uint32_t characteristics = 0;
    bool Executable() const { return (characteristics & 0x20000000u) != 0; }  // IMAGE_SCN_MEM_EXECUTE
    // The bytes of the section that the file holds and the image maps (a virtualSize of 0
    // maps rawSize).
    uint32_t MappedRawSize() const { return virtualSize && virtualSize < rawSize ? virtualSize : rawSize; }
    uint32_t VirtualEnd() const { return virtualAddress + (virtualSize > rawSize ? virtualSize : rawSize); }
};

struct PeLayout {
    PeMachine machine = PeMachine::kNone;
    uint64_t imageBase = 0;
    uint32_t sizeOfImage = 0;
    std::vector<PeSection> sections;
    // File offsets of the absolute addresses that the base relocations name (4 bytes each
    // for i386, 8 for x86-64), ascending and each wholly inside one section's raw data.
    std::vector<uint32_t> absoluteAddresses;
};

// At most this many sections (the loader's own limit).
constexpr size_t kPeMaxSections = 96;

// Reads the layout of size bytes. False (layout untouched) for anything but a PE file of
// one of the two machines whose headers, section table and sections lie inside the bytes.
// Relocations of other kinds, or that point outside every section's raw data, are passed
// over; a relocation table that runs outside its section refuses the file.
bool ReadPeLayout(const uint8_t* data, size_t size, PeLayout* layout);

// The file offset of an address relative to the image base; false when no section's raw
// data holds it.
bool PeFileOffset(const PeLayout& layout, uint32_t rva, uint32_t* offset);
