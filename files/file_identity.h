// File identity of a Windows file: its size and file Id against what an image entry says.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

// Sample checksum of the file; moves the file position.
uint32_t ChecksumFileSample(HANDLE file);

// The ten-character file Id: minute digits of the last-write time (UTC) and the sample
// checksum. Moves the file position; the caller owns the handle.
std::string ComputeFileId(HANDLE file);

// What a file on disk is against an entry's size and file Id. The Id is computed only
// when the size is right; an expected Id that is empty or malformed never matches.
enum class FileCheck { kMissing, kWrongSize, kWrongId, kMatches };

struct FileFacts {
    uint32_t size = 0;    // when the file could be opened
    std::string fileId;   // when the size is right
};

// Opens the file for reading with read sharing: a file that does not exist, is a
// directory or is held by another program without read sharing is missing.
FileCheck CheckFile(const std::string& path, uint32_t expectedSize, const std::string& expectedId, FileFacts* facts);
