// Deterministic test contents, and deliberate damage to patches.
#pragma once
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "patchlib/sha256.h"
#include "patchlib/zlib_stream.h"

class TestRandom {
public:
    explicit TestRandom(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
    uint64_t Next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return state_;
    }
    size_t Below(size_t n) { return n ? static_cast<size_t>(Next() % n) : 0; }
    std::vector<uint8_t> Bytes(size_t size, unsigned alphabet = 256) {
        std::vector<uint8_t> bytes(size);
        for (auto& b : bytes) b = static_cast<uint8_t>(Next() % alphabet);
        return bytes;
    }

private:
    uint64_t state_;
};

inline std::vector<uint8_t> ToBytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

// Rewrites a patch's trailer after a deliberate change, so that the change reaches the parser.
inline void ResealPatch(std::vector<uint8_t>& patch) {
    const uint32_t crc = Crc32(patch.data(), patch.size() - 4);
    for (int k = 0; k < 4; ++k) patch[patch.size() - 4 + k] = static_cast<uint8_t>(crc >> (8 * k));
}

// Makes a well-formed patch promise another result: one byte of the SHA-256 it stores for
// newContent changed. False when the patch holds no such digest.
inline bool DamageNewHash(std::vector<uint8_t>& patch, const std::vector<uint8_t>& newContent) {
    const Sha256Digest digest = Sha256::Of(newContent.data(), newContent.size());
    const auto at = std::search(patch.begin(), patch.end(), digest.begin(), digest.end());
    if (at == patch.end()) return false;
    *at ^= 1;
    ResealPatch(patch);
    return true;
}

// Something like a program: x86-ish code with calls whose targets move when code is
// inserted, plus text and tables.
inline std::vector<uint8_t> FakeProgram(TestRandom& random, size_t functions) {
    std::vector<uint8_t> out = {0x7F, 'E', 'L', 'F', 2, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 62, 0};
    std::vector<size_t> starts;
    for (size_t f = 0; f < functions; ++f) {
        starts.push_back(out.size());
        const size_t length = 40 + random.Below(200);
        for (size_t i = 0; i < length; ++i) {
            if (random.Below(12) == 0 && !starts.empty()) {
                const size_t target = starts[random.Below(starts.size())];
                const int32_t rel = static_cast<int32_t>(target) - static_cast<int32_t>(out.size() + 5);
                out.push_back(0xE8);
                for (int k = 0; k < 4; ++k) out.push_back(static_cast<uint8_t>(static_cast<uint32_t>(rel) >> (8 * k)));
            } else {
                static const uint8_t ops[] = {0x48, 0x89, 0xC7, 0x8B, 0x45, 0x31, 0xC0, 0x5D, 0xC3, 0x55, 0x0F, 0x1F};
                out.push_back(ops[random.Below(sizeof ops)]);
            }
        }
    }
    return out;
}
