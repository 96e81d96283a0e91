// The compressed file format that the system's expand tool and its LZ functions read
// (SZDD): a 14-byte header, then LZSS data over a 4096-byte ring buffer that starts filled
// with blanks. The publishers' tool compresses every file of a site with it and reads the
// files back to check a site.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// The compressed form of data. lastCharacter is the last character of the file's name,
// which the format keeps because the compressed file's name replaces it with '_'.
std::vector<uint8_t> CompressSzdd(const std::vector<uint8_t>& data, char lastCharacter = '\0');

// The data of a compressed file; false when it is not one, or is cut short or damaged.
bool ExpandSzdd(const std::vector<uint8_t>& compressed, std::vector<uint8_t>* data);
