// The layout of a Linux executable or shared library (ELF, 64-bit, x86-64): the sections
// that the image maps, and the addresses that R_X86_64_RELATIVE relocations name (their
// places hold the address as well). No Windows API here.
#pragma once
#include <cstddef>
#include <cstdint>

#include "patchlib/executable_layout.h"

// False (layout untouched) for anything but a little-endian 64-bit ELF file for x86-64
// whose section headers and the data of its mapped sections lie inside the bytes, with
// every mapped section below 4 GiB and at most kMaxSections of them. Relocations whose
// place is not wholly inside one section's data are passed over.
bool ReadElfLayout(const uint8_t* data, size_t size, ExecutableLayout* layout);
