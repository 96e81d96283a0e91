// File identity: a ten-character text made of the two minute digits of the file's
// last-write time and the sample checksum written least significant digit first.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

constexpr uint32_t kSampleChecksumPreset = 0xFFFFFFFFu;
constexpr uint32_t kWholeFileSampleLimit = 65536;  // files below this are sampled whole
constexpr uint32_t kSampleHalf = 32768;
constexpr int64_t kTailSampleDistance = 32769;    // the tail block starts this far before the end
constexpr size_t kFileIdLength = 10;

// The CRC-32 register (reflected polynomial 0xEDB88320) advanced over the bytes,
// without the final inversion that the standard CRC-32 applies.
uint32_t UpdateSampleChecksum(uint32_t reg, const uint8_t* data, size_t size);

// Where the sample bytes of a file come from; lets the Windows engine and the native
// publishing tool take the same sample from their own kind of file.
class SampleSource {
public:
    virtual ~SampleSource() = default;
    virtual uint32_t Size() = 0;  // low 32 bits of the file size
    // Reads up to size bytes at the start of the file / at distance bytes before its end.
    // Returns the number of bytes read.
    virtual size_t ReadFromStart(uint8_t* buffer, size_t size) = 0;
    virtual size_t ReadBeforeEnd(int64_t distance, uint8_t* buffer, size_t size) = 0;
};

// Sample checksum of a file: the whole file below 64 KiB, otherwise the first 32 KiB and
// the 32 KiB that begin 32,769 bytes before the end. Bytes that a short read leaves
// missing count as zeros.
uint32_t ChecksumSample(SampleSource& source);

// The sample checksum of a file's content held in memory.
uint32_t ChecksumBytes(const uint8_t* data, size_t size);

// "MM" followed by the eight hexadecimal digits of the checksum, least significant first.
std::string FormatFileId(uint32_t checksum, unsigned minute);

// True when both Ids are ten characters long and agree in positions 2 to 9 (case-sensitive).
bool FileIdsMatch(const std::string& a, const std::string& b);
