// File identity of an open Windows file.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

// Sample checksum of the file; moves the file position.
uint32_t ChecksumFileSample(HANDLE file);

// The ten-character file Id: minute digits of the last-write time (UTC) and the sample
// checksum. Moves the file position; the caller owns the handle.
std::string ComputeFileId(HANDLE file);
