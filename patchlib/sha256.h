// SHA-256 (FIPS 180-4): the strong checksum that a patch stores for every file it
// expects and every file it produces.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

using Sha256Digest = std::array<uint8_t, 32>;

class Sha256 {
public:
    Sha256() { Reset(); }
    void Reset();
    void Update(const void* data, size_t size);
    Sha256Digest Finish();

    static Sha256Digest Of(const void* data, size_t size);

    // Turns the processor's SHA extensions on or off (on by default where present);
    // returns whether they are in use. Lets the tests compare both paths.
    static bool UseAcceleration(bool enabled);

private:
    void Compress(const uint8_t* blocks, size_t count);

    uint32_t state_[8];
    uint64_t length_ = 0;  // bytes hashed so far
    uint8_t buffer_[64];
    size_t buffered_ = 0;
};
