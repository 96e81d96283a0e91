// Delta decoding: every number from the payload is checked before it is used.
#include <algorithm>
#include <cstring>
#include <new>

#include "patchlib/byte_io.h"
#include "patchlib/delta.h"
#include "patchlib/delta_layout.h"
#include "patchlib/executable_layout.h"
#include "patchlib/executable_transform.h"
#include "patchlib/x86_filter.h"
#include "patchlib/zlib_stream.h"

namespace {

// Output is produced, handed on and reported in slices, so a large file gives its caller
// a progress call (and a chance to stop) every millisecond or so, and decoding holds no
// more of the new content than one slice.
constexpr size_t kSlice = kDeltaSlice;

bool HeaderFits(const DeltaHeader& h, uint64_t streamBytes, uint64_t newSize) {
    if (h.filter > static_cast<uint8_t>(DeltaFilter::kExecutable)) return false;
    uint64_t total = 0;
    for (int s = 0; s < h.Streams(); ++s) {
        if (h.packed[s] > streamBytes || (!h.Stored(s) && !PlausibleRawLength(h.raw[s], h.packed[s]))) return false;
        total += h.packed[s];  // each term at most streamBytes: no overflow
    }
    if (total != streamBytes) return false;
    // Every instruction and every run of differences produces at least one byte.
    const uint64_t pieces = newSize + 1;
    return h.raw[kControlStream] <= kMaxInstructionBytes * pieces && h.raw[kGapStream] <= 10 * pieces &&
           h.raw[kByteStream] <= newSize + 10 * pieces && h.raw[kExtraStream] <= newSize;
}

// One stream of the payload, deflated or stored as it is.
class StreamSource {
public:
    bool Open(const DeltaHeader& h, int stream, const uint8_t* packed) {
        stored_ = h.Stored(stream);
        if (!stored_) return inflated_.Open(packed, static_cast<size_t>(h.packed[stream]), h.raw[stream]);
        data_ = packed;
        left_ = static_cast<size_t>(h.raw[stream]);
        return true;
    }
    // Fills exactly size bytes.
    bool Read(uint8_t* out, size_t size) {
        if (!stored_) return inflated_.Read(out, size);
        if (size > left_) return false;
        memcpy(out, data_, size);
        data_ += size;
        left_ -= size;
        return true;
    }
    uint64_t RawRemaining() const { return stored_ ? left_ : inflated_.RawRemaining(); }
    bool Finish() { return stored_ ? left_ == 0 : inflated_.Finish(); }

private:
    bool stored_ = false;
    InflateReader inflated_;
    const uint8_t* data_ = nullptr;
    size_t left_ = 0;
};

// A whole stream, for the small ones read before decoding (instructions, the map).
bool ReadWholeStream(const DeltaHeader& h, int stream, const uint8_t* packed, std::vector<uint8_t>* out) {
    if (!h.Stored(stream)) return InflateBytes(packed, static_cast<size_t>(h.packed[stream]), h.raw[stream], out);
    out->assign(packed, packed + h.raw[stream]);
    return true;
}

// Where each stream begins.
const uint8_t* StreamAt(const DeltaHeader& h, const uint8_t* streams, int stream) {
    for (int s = 0; s < stream; ++s) streams += h.packed[s];
    return streams;
}

// Reads a stream through a small buffer: numbers and byte runs.
class StreamReader {
public:
    bool Open(const DeltaHeader& h, int stream, const uint8_t* packed) { return inner_.Open(h, stream, packed); }
    bool AtEnd() const { return at_ == filled_ && inner_.RawRemaining() == 0; }

    bool Varint(uint64_t* value) {
        uint64_t result = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (at_ == filled_ && !Refill()) return false;
            const uint8_t byte = buffer_[at_++];
            if (shift == 63 && byte > 1) return false;
            result |= static_cast<uint64_t>(byte & 0x7F) << shift;
            if (!(byte & 0x80)) {
                *value = result;
                return true;
            }
        }
        return false;
    }

    bool Bytes(uint8_t* out, size_t size) {
        while (size) {
            if (at_ == filled_ && !Refill()) return false;
            const size_t take = std::min(size, filled_ - at_);
            memcpy(out, buffer_ + at_, take);
            at_ += take;
            out += take;
            size -= take;
        }
        return true;
    }

    bool Finish() { return at_ == filled_ && inner_.Finish(); }

private:
    bool Refill() {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(sizeof buffer_, inner_.RawRemaining()));
        if (want == 0 || !inner_.Read(buffer_, want)) return false;
        at_ = 0;
        filled_ = want;
        return true;
    }

    StreamSource inner_;
    uint8_t buffer_[1 << 16];
    size_t at_ = 0, filled_ = 0;
};

// The difference bytes, rebuilt from the zero-run lengths and the runs of other bytes.
class DifferenceReader {
public:
    bool Open(const DeltaHeader& h, const uint8_t* streams) {
        impliedTail_ = h.coding == StreamCoding::kCompact;
        return gaps_.Open(h, kGapStream, StreamAt(h, streams, kGapStream)) &&
               runs_.Open(h, kByteStream, StreamAt(h, streams, kByteStream));
    }

    bool Read(uint8_t* out, size_t size) {
        while (size) {
            if (zeros_) {
                const size_t take = static_cast<size_t>(std::min<uint64_t>(zeros_, size));
                memset(out, 0, take);
                zeros_ -= take;
                out += take;
                size -= take;
            } else if (others_) {
                const size_t take = static_cast<size_t>(std::min<uint64_t>(others_, size));
                if (!runs_.Bytes(out, take)) return false;
                others_ -= take;
                out += take;
                size -= take;
            } else if (impliedTail_ && gaps_.AtEnd() && runs_.AtEnd()) {
                // Past the last pair: zeros to the end.
                tail_ = true;
                zeros_ = UINT64_MAX;
            } else if (!gaps_.Varint(&zeros_) || !runs_.Varint(&others_) || (zeros_ == 0 && others_ == 0)) {
                return false;
            }
        }
        return true;
    }

    bool Finish() { return (zeros_ == 0 || tail_) && others_ == 0 && gaps_.Finish() && runs_.Finish(); }

private:
    StreamReader gaps_, runs_;
    bool impliedTail_ = false, tail_ = false;
    uint64_t zeros_ = 0, others_ = 0;
};

struct Instruction {
    size_t diff;     // bytes of old content plus differences
    size_t extra;    // literal bytes
    size_t oldFrom;  // where the difference bytes apply
};

// Reads and checks every instruction before any output is allocated: the lengths
// must add up to the new size and the extra stream, and every stretch of old content
// must lie inside it. So the output is only ever as large as the instructions
// genuinely describe.
bool ReadInstructions(const std::vector<uint8_t>& control, uint64_t oldSize, uint64_t newSize, uint64_t extraSize,
                      std::vector<Instruction>* instructions) {
    ByteReader reader(control.data(), control.size());
    int64_t oldPos = 0;
    uint64_t produced = 0, extraTotal = 0;
    const int64_t limit = static_cast<int64_t>(kDeltaMaxSize);
    while (!reader.AtEnd()) {
        uint64_t diffLen, extraLen;
        int64_t seek;
        if (!reader.UVar(&diffLen) || !reader.UVar(&extraLen) || !reader.SVar(&seek)) return false;
        // Only the first instruction may be a bare seek; every other one produces
        // output, which bounds their number by the new size.
        if (diffLen == 0 && extraLen == 0 && !instructions->empty()) return false;
        if (diffLen > newSize - produced) return false;
        if (diffLen && (oldPos < 0 || static_cast<uint64_t>(oldPos) > oldSize ||
                        diffLen > oldSize - static_cast<uint64_t>(oldPos))) {
            return false;
        }
        produced += diffLen;
        if (extraLen > newSize - produced) return false;
        produced += extraLen;
        extraTotal += extraLen;
        instructions->push_back({static_cast<size_t>(diffLen), static_cast<size_t>(extraLen),
                                 diffLen ? static_cast<size_t>(oldPos) : 0});
        // Positions stay far inside 64 bits.
        if (seek > limit || seek < -limit) return false;
        oldPos += static_cast<int64_t>(diffLen) + seek;
        if (oldPos > 2 * limit || oldPos < -2 * limit) return false;
    }
    return produced == newSize && extraTotal == extraSize;
}

// Adds old bytes to difference bytes in place (out holds the differences).
void AddOld(const uint8_t* old, uint8_t* out, size_t size, FieldCoder& coder) {
    size_t i = 0;
    while (i < size) {
        if (!coder.InField()) {
            // Outside a field, zero differences copy the old bytes: find where they end.
            size_t zeros = 0;
            while (i + zeros + 8 <= size) {
                uint64_t word;
                memcpy(&word, out + i + zeros, 8);
                if (word) break;
                zeros += 8;
            }
            while (i + zeros < size && out[i + zeros] == 0) ++zeros;
            memcpy(out + i, old + i, zeros);
            i += zeros;
            if (i == size) break;
        }
        out[i] = coder.Decode(old[i], out[i]);
        ++i;
    }
}

class Decoder {
public:
    // fixes: the predicted values that stand in for old bytes (the executable transform),
    // laid over each slice of old content as it is read.
    Decoder(const uint8_t* old, const std::vector<ReferenceFix>& fixes, DeltaSink* sink, uint64_t newSize,
            DeltaProgress* progress)
        : old_(old), fixes_(fixes), sink_(sink), newSize_(newSize), progress_(progress) {}

    DeltaStatus Run(const DeltaHeader& h, const uint8_t* streams, const std::vector<Instruction>& instructions) {
        const size_t sliceSize = static_cast<size_t>(std::min<uint64_t>(kSlice, newSize_));
        slice_.resize(sliceSize);
        if (!fixes_.empty()) window_.resize(sliceSize);
        if (!differences_.Open(h, streams) || !extra_.Open(h, kExtraStream, StreamAt(h, streams, kExtraStream))) {
            return DeltaStatus::kNoMemory;
        }
        for (const Instruction& instruction : instructions) {
            if (const DeltaStatus s = CopyDiff(instruction.diff, instruction.oldFrom); s != DeltaStatus::kOk) return s;
            if (const DeltaStatus s = CopyExtra(instruction.extra); s != DeltaStatus::kOk) return s;
        }
        if (!differences_.Finish() || !extra_.Finish()) return DeltaStatus::kCorrupt;
        return DeltaStatus::kOk;
    }

private:
    DeltaStatus CopyDiff(size_t length, size_t oldFrom) {
        if (!length) return DeltaStatus::kOk;
        const uint8_t* from = old_ + oldFrom;
        FieldCoder coder;  // fields never run on from one stretch into the next
        while (length) {
            const size_t slice = std::min(length, kSlice - written_ % kSlice);
            uint8_t* to = slice_.data() + written_ % kSlice;
            if (!differences_.Read(to, slice)) return DeltaStatus::kCorrupt;
            const uint8_t* source = from;
            if (!fixes_.empty()) {
                memcpy(window_.data(), from, slice);
                ApplyFixes(fixes_, static_cast<size_t>(from - old_), window_.data(), slice);
                source = window_.data();
            }
            AddOld(source, to, slice, coder);
            from += slice;
            length -= slice;
            if (const DeltaStatus s = Wrote(slice); s != DeltaStatus::kOk) return s;
        }
        return DeltaStatus::kOk;
    }

    DeltaStatus CopyExtra(size_t length) {
        while (length) {
            const size_t slice = std::min(length, kSlice - written_ % kSlice);
            if (!extra_.Read(slice_.data() + written_ % kSlice, slice)) return DeltaStatus::kCorrupt;
            length -= slice;
            if (const DeltaStatus s = Wrote(slice); s != DeltaStatus::kOk) return s;
        }
        return DeltaStatus::kOk;
    }

    // Hands a full slice (or the last one) to the sink, and reports progress whenever
    // output crosses a slice boundary.
    DeltaStatus Wrote(size_t count) {
        written_ += count;
        const bool full = written_ % kSlice == 0;
        if (!full && written_ != newSize_) return DeltaStatus::kOk;
        if (!sink_->Take(slice_.data(), full ? kSlice : written_ % kSlice)) return DeltaStatus::kNoMemory;
        if (progress_ && full && written_ < newSize_ && !progress_->Advance(written_, newSize_)) {
            return DeltaStatus::kStopped;
        }
        return DeltaStatus::kOk;
    }

    const uint8_t* old_;
    const std::vector<ReferenceFix>& fixes_;
    std::vector<uint8_t> slice_;   // the slice of new content being made
    std::vector<uint8_t> window_;  // one slice of old content with its fixes
    DeltaSink* sink_;
    uint64_t newSize_;
    DeltaProgress* progress_;
    size_t written_ = 0;  // the new size fits: it was checked against kDeltaMaxSize
    DifferenceReader differences_;
    StreamSource extra_;
};

// The executable transform's predictions for the old content: its layout (it must be a
// PE file, as it was when the patch was made) and the address map of the payload.
bool PredictFromPayload(const uint8_t* old, size_t oldSize, const DeltaHeader& h, const uint8_t* streams,
                        std::vector<ReferenceFix>* fixes) {
    ExecutableLayout layout;
    if (!ReadExecutableLayout(old, oldSize, &layout)) return false;
    std::vector<uint8_t> mapBytes;
    AddressMap map;
    if (!ReadWholeStream(h, kMapStream, StreamAt(h, streams, kMapStream), &mapBytes) ||
        !ReadAddressMap(mapBytes.data(), mapBytes.size(), &map)) {
        return false;
    }
    *fixes = PredictReferences(old, oldSize, layout, map);
    return true;
}

}  // namespace

DeltaStatus DecodeDelta(const uint8_t* oldData, size_t oldSize, const uint8_t* payload, size_t payloadSize,
                        uint64_t newSize, DeltaSink* sink, DeltaProgress* progress) {
    if (oldSize > kDeltaMaxSize || newSize > kDeltaMaxSize) return DeltaStatus::kCorrupt;
    ByteReader reader(payload, payloadSize);
    DeltaHeader header;
    if (!header.Read(reader) || !HeaderFits(header, reader.Remaining(), newSize)) return DeltaStatus::kCorrupt;
    try {
        const uint8_t* streams = reader.Current();
        std::vector<uint8_t> control;
        std::vector<Instruction> instructions;
        if (!ReadWholeStream(header, kControlStream, streams, &control) ||
            !ReadInstructions(control, oldSize, newSize, header.raw[kExtraStream], &instructions)) {
            return DeltaStatus::kCorrupt;
        }
        std::vector<uint8_t> filteredOld;
        const uint8_t* old = oldData;
        if (header.filter == static_cast<uint8_t>(DeltaFilter::kX86)) {
            filteredOld.assign(oldData, oldData + oldSize);
            X86Filter(filteredOld.data(), filteredOld.size());
            old = filteredOld.data();
        }
        std::vector<ReferenceFix> fixes;
        if (header.filter == static_cast<uint8_t>(DeltaFilter::kExecutable) &&
            !PredictFromPayload(oldData, oldSize, header, streams, &fixes)) {
            return DeltaStatus::kCorrupt;
        }
        if (header.filter != static_cast<uint8_t>(DeltaFilter::kX86)) {
            Decoder decoder(old, fixes, sink, newSize, progress);
            return decoder.Run(header, streams, instructions);
        }
        // The x86 filter is undone over the whole content, so it is rebuilt whole first
        // (a filter made only on request, and never by default).
        std::vector<uint8_t> whole;
        VectorSink wholeSink(&whole, newSize);
        Decoder decoder(old, fixes, &wholeSink, newSize, progress);
        if (const DeltaStatus status = decoder.Run(header, streams, instructions); status != DeltaStatus::kOk) {
            return status;
        }
        X86Unfilter(whole.data(), whole.size());
        for (size_t at = 0; at < whole.size(); at += kSlice) {
            if (!sink->Take(whole.data() + at, std::min(kSlice, whole.size() - at))) return DeltaStatus::kNoMemory;
        }
        return DeltaStatus::kOk;
    } catch (const std::bad_alloc&) {
        return DeltaStatus::kNoMemory;
    }
}

DeltaStatus DecodeDelta(const uint8_t* oldData, size_t oldSize, const uint8_t* payload, size_t payloadSize,
                        uint64_t newSize, std::vector<uint8_t>* out, DeltaProgress* progress) {
    // The sink's room is taken inside the decoder, which turns running out into kNoMemory.
    VectorSink sink(out, std::min<uint64_t>(newSize, kDeltaMaxSize));
    return DecodeDelta(oldData, oldSize, payload, payloadSize, newSize, &sink, progress);
}
