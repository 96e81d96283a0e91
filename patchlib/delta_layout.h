// The parts of a delta payload that the encoder and the decoder share: the fixed
// header and the coding of difference bytes. Byte layout in FORMAT.md.
#pragma once
#include <cstddef>
#include <cstdint>

#include "patchlib/byte_io.h"

// The deflated streams of a payload, in payload order: four in every payload, and the
// address map after them in a payload of the executable transform.
enum DeltaStream { kControlStream, kGapStream, kByteStream, kExtraStream, kStreamCount, kMapStream = kStreamCount,
                   kMaxStreams };

// How the streams are stored. Plain: each one deflated, and the difference pairs run to
// the last byte. Compact: a stream whose packed length equals its raw length is stored
// as it is (deflate would not have made it smaller), and zeros after the last pair are
// implied, which matters for the small patches of small fixes, where the streams' fixed
// costs are most of the payload.
enum class StreamCoding : uint8_t { kPlain = 0, kCompact = 1 };

struct DeltaHeader {
    // Smallest possible header: two bytes and eight one-byte numbers.
    static constexpr size_t kMinSize = 2 + 2 * kStreamCount;
    uint8_t filter = 0;
    StreamCoding coding = StreamCoding::kCompact;
    uint64_t raw[kMaxStreams] = {};
    uint64_t packed[kMaxStreams] = {};

    int Streams() const { return filter == 2 ? kMaxStreams : kStreamCount; }  // 2: DeltaFilter::kExecutable
    bool Stored(int s) const { return coding == StreamCoding::kCompact && packed[s] == raw[s]; }

    void Write(ByteWriter& writer) const {
        writer.U8(filter);
        writer.U8(static_cast<uint8_t>(coding));
        for (int s = 0; s < Streams(); ++s) {
            writer.UVar(raw[s]);
            writer.UVar(packed[s]);
        }
    }
    bool Read(ByteReader& reader) {
        uint8_t coded;
        if (!reader.U8(&filter) || !reader.U8(&coded) || coded > static_cast<uint8_t>(StreamCoding::kCompact)) {
            return false;
        }
        coding = static_cast<StreamCoding>(coded);
        for (int s = 0; s < Streams(); ++s) {
            if (!reader.UVar(&raw[s]) || !reader.UVar(&packed[s])) return false;
        }
        return true;
    }
};

// An instruction is three variable-length integers of at most ten bytes each.
constexpr uint64_t kMaxInstructionBytes = 30;

// Difference bytes of one aligned stretch. Where code or data moved, numbers in the
// file (offsets, addresses) change by the same amount in many places, but a plain
// byte-wise difference of such a number depends on whether the low byte wrapped
// (+0x90 gives "90 00" or "90 01"; -0x90 "70 00" or "70 ff"). From the first
// differing byte on, the next kFieldWidth bytes are therefore coded as one
// little-endian number added with carry, so the same change always gives the same
// bytes and compresses as a repeat; outside such fields a zero stays a zero.
class FieldCoder {
public:
    static constexpr int kFieldWidth = 2;

    uint8_t Encode(uint8_t oldByte, uint8_t newByte) {
        if (left_ == 0) {
            if (oldByte == newByte) return 0;
            left_ = kFieldWidth;
            carry_ = 0;
        }
        const uint8_t difference = static_cast<uint8_t>(newByte - oldByte - carry_);
        Step(oldByte + difference + carry_);
        return difference;
    }

    uint8_t Decode(uint8_t oldByte, uint8_t difference) {
        if (left_ == 0) {
            if (difference == 0) return oldByte;
            left_ = kFieldWidth;
            carry_ = 0;
        }
        const unsigned sum = oldByte + difference + carry_;
        Step(sum);
        return static_cast<uint8_t>(sum);
    }

    // Outside a field the old byte comes through unchanged where the difference is 0.
    bool InField() const { return left_ != 0; }

private:
    void Step(unsigned sum) {
        --left_;
        carry_ = left_ ? sum >> 8 : 0;
    }
    int left_ = 0;
    unsigned carry_ = 0;
};
