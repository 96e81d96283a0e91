#include "tools/site/szdd.h"

#include <algorithm>
#include <cstring>

namespace {

const uint8_t kMagic[8] = {'S', 'Z', 'D', 'D', 0x88, 0xF0, 0x27, 0x33};
constexpr size_t kHeaderSize = 14;
constexpr size_t kWindow = 4096;
constexpr size_t kStart = kWindow - 16;  // where the expanders begin writing the ring
constexpr size_t kMinMatch = 3;
constexpr size_t kMaxMatch = 18;
constexpr size_t kMaxProbes = 96;  // candidates looked at per position: speed against size

uint32_t Hash3(const uint8_t* p) { return ((p[0] << 10) ^ (p[1] << 5) ^ p[2]) & 0x7FFF; }

// Token groups: a flag byte, then eight items (bit set: one literal byte; clear: a
// two-byte reference to the ring, its position in twelve bits and its length less three in four).
class TokenWriter {
public:
    explicit TokenWriter(std::vector<uint8_t>* out) : out_(out) {}
    void Literal(uint8_t byte) {
        Open();
        (*out_)[flag_] |= static_cast<uint8_t>(1u << count_);
        out_->push_back(byte);
        Close();
    }
    void Reference(size_t ringPosition, size_t length) {
        Open();
        out_->push_back(static_cast<uint8_t>(ringPosition & 0xFF));
        out_->push_back(static_cast<uint8_t>(((ringPosition >> 4) & 0xF0) | (length - kMinMatch)));
        Close();
    }

private:
    void Open() {
        if (count_ == 0) {
            flag_ = out_->size();
            out_->push_back(0);
        }
    }
    void Close() { count_ = (count_ + 1) % 8; }

    std::vector<uint8_t>* out_;
    size_t flag_ = 0;
    unsigned count_ = 0;
};

}  // namespace

std::vector<uint8_t> CompressSzdd(const std::vector<uint8_t>& data, char lastCharacter) {
    std::vector<uint8_t> out(kMagic, kMagic + 8);
    out.push_back('A');
    out.push_back(static_cast<uint8_t>(lastCharacter));
    const uint32_t size = static_cast<uint32_t>(data.size());
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(size >> (8 * i)));

    // Hash chains over the data: the last position with each hash, and for every position
    // the one before it with the same hash. References reach back at most the ring's
    // length less one, and only into the data itself, never into the ring's first blanks.
    std::vector<int64_t> head(0x8000, -1);
    std::vector<int64_t> previous(data.size(), -1);
    TokenWriter tokens(&out);
    const uint8_t* bytes = data.data();
    size_t at = 0;
    auto insert = [&](size_t position) {
        if (position + kMinMatch > data.size()) return;
        const uint32_t hash = Hash3(bytes + position);
        previous[position] = head[hash];
        head[hash] = static_cast<int64_t>(position);
    };
    while (at < data.size()) {
        size_t bestLength = 0;
        size_t bestFrom = 0;
        if (at + kMinMatch <= data.size()) {
            const size_t limit = std::min(kMaxMatch, data.size() - at);
            int64_t candidate = head[Hash3(bytes + at)];
            for (size_t probe = 0; candidate >= 0 && probe < kMaxProbes; ++probe) {
                const size_t from = static_cast<size_t>(candidate);
                if (at - from >= kWindow) break;
                size_t length = 0;
                while (length < limit && bytes[from + length] == bytes[at + length]) ++length;
                if (length > bestLength) {
                    bestLength = length;
                    bestFrom = from;
                    if (length == limit) break;
                }
                candidate = previous[from];
            }
        }
        if (bestLength >= kMinMatch) {
            tokens.Reference((bestFrom + kStart) % kWindow, bestLength);
            for (size_t i = 0; i < bestLength; ++i) insert(at + i);
            at += bestLength;
        } else {
            tokens.Literal(bytes[at]);
            insert(at);
            ++at;
        }
    }
    return out;
}

bool ExpandSzdd(const std::vector<uint8_t>& compressed, std::vector<uint8_t>* data) {
    if (compressed.size() < kHeaderSize || memcmp(compressed.data(), kMagic, 8) != 0 || compressed[8] != 'A') {
        return false;
    }
    uint32_t size = 0;
    for (int i = 0; i < 4; ++i) size |= static_cast<uint32_t>(compressed[10 + i]) << (8 * i);
    data->clear();
    // The size field is only a claim: reserve no more than the input could expand to.
    data->reserve(std::min<size_t>(size, (compressed.size() - kHeaderSize) * 16));
    uint8_t ring[kWindow];
    memset(ring, ' ', sizeof ring);
    size_t position = kStart;
    size_t in = kHeaderSize;
    while (in < compressed.size() && data->size() < size) {
        const uint8_t flags = compressed[in++];
        for (int bit = 0; bit < 8 && in < compressed.size() && data->size() < size; ++bit) {
            if (flags & (1u << bit)) {
                const uint8_t byte = compressed[in++];
                data->push_back(byte);
                ring[position] = byte;
                position = (position + 1) % kWindow;
                continue;
            }
            if (in + 2 > compressed.size()) return false;
            size_t from = compressed[in] | ((compressed[in + 1] & 0xF0u) << 4);
            const size_t length = (compressed[in + 1] & 0x0Fu) + kMinMatch;
            in += 2;
            for (size_t i = 0; i < length && data->size() < size; ++i) {
                const uint8_t byte = ring[from];
                from = (from + 1) % kWindow;
                data->push_back(byte);
                ring[position] = byte;
                position = (position + 1) % kWindow;
            }
        }
    }
    return data->size() == size;
}
