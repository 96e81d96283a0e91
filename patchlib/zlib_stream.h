// Raw deflate streams (no zlib header or trailer: the patch carries SHA-256 sums of
// every result, which check far more than a stream checksum would).
#pragma once
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <vector>

// Largest factor by which deflate can shrink data (a run of zeros: 258 bytes per
// 2-bit code at best), plus slack for the block headers. A declared raw length above
// packed * kDeflateMaxRatio + kDeflateSlack cannot be genuine.
constexpr uint64_t kDeflateMaxRatio = 1032;
constexpr uint64_t kDeflateSlack = 64;

inline bool PlausibleRawLength(uint64_t raw, uint64_t packed) {
    return packed < (UINT64_MAX - kDeflateSlack) / kDeflateMaxRatio && raw <= packed * kDeflateMaxRatio + kDeflateSlack;
}

// zlib's CRC-32 of data of any length: the seal of patch files and journals.
uint32_t Crc32(const uint8_t* data, size_t size);

// Compresses data at level 1..9 into out (replacing its content). False only when
// zlib fails (out of memory).
bool DeflateBytes(const uint8_t* data, size_t size, int level, std::vector<uint8_t>* out);

// Reads a raw deflate stream of known compressed and uncompressed lengths piece by
// piece. Every failure (bad data, early end, more data than declared) makes Read and
// Finish return false.
class InflateReader {
public:
    InflateReader() = default;
    ~InflateReader();
    InflateReader(const InflateReader&) = delete;
    InflateReader& operator=(const InflateReader&) = delete;

    bool Open(const uint8_t* packed, size_t packedSize, uint64_t rawSize);
    // Fills exactly size bytes.
    bool Read(uint8_t* out, size_t size);
    // True when exactly rawSize bytes were read, the stream ended there and no packed
    // byte is left over.
    bool Finish();
    uint64_t RawRemaining() const { return rawSize_ - produced_; }

private:
    z_stream stream_{};
    bool open_ = false;
    bool ended_ = false;
    bool failed_ = false;

    void Feed();
    size_t packedLeft_ = 0;  // not yet handed to zlib
    uint64_t rawSize_ = 0;
    uint64_t produced_ = 0;
};

// Inflates a whole stream into out (resized to rawSize).
bool InflateBytes(const uint8_t* packed, size_t packedSize, uint64_t rawSize, std::vector<uint8_t>* out);
