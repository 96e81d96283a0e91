// Suffix array of a byte string, built in linear time by induced sorting (SA-IS).
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

// Largest text the array can index: positions are signed 32-bit.
constexpr size_t kSuffixArrayMaxSize = 0x7FFFFFF0;

// Returns the start positions of all suffixes of text in lexicographic order (a
// shorter suffix sorts before every longer one that it prefixes). Empty when size
// exceeds kSuffixArrayMaxSize.
std::vector<int32_t> BuildSuffixArray(const uint8_t* text, size_t size);
