// The layout of a Windows executable (PE/COFF, i386 or x86-64): sections and the base
// relocations. No Windows API here.
#pragma once
#include <cstddef>
#include <cstdint>

#include "patchlib/executable_layout.h"

// Reads the layout of size bytes. False (layout untouched) for anything but a PE file of
// one of the two machines whose headers, section table and sections lie inside the bytes.
// Relocations of other kinds, or that point outside every section's raw data, are passed
// over; a relocation table that runs outside its section refuses the file.
bool ReadPeLayout(const uint8_t* data, size_t size, ExecutableLayout* layout);
