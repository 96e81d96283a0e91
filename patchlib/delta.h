// Binary delta from an old byte string to a new one, in the manner of a suffix-array
// differ: the new string is covered by approximate matches in the old one (stored as
// the byte-wise difference, mostly zeros) and by literal bytes; deflated streams hold
// the instructions, the differences and the literals. Layout in FORMAT.md.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

// Largest old or new content a delta handles (positions are signed 32-bit).
constexpr uint64_t kDeltaMaxSize = 0x7FFF0000;

enum class DeltaFilter : uint8_t {
    kNone = 0,
    kX86 = 1,         // x86 branch targets made absolute in both contents first
    kExecutable = 2,  // the references of an old PE file predicted through an address map
};

struct DeltaOptions {
    // Off by default: on the real program pairs of the patch benchmark the filter made
    // deltas larger, since relative targets stay equal when caller and callee move
    // together, and the difference coding already absorbs moved targets.
    DeltaFilter filter = DeltaFilter::kNone;
    // With no filter asked for: when both contents are PE files of one machine, the
    // executable transform is tried too, and the smaller delta kept.
    bool executables = true;
    // The compact stream coding (small streams stored as they are), which only appliers of
    // format 2 read; off, the delta is one that every applier reads.
    bool compact = true;
    int level = 9;  // deflate level of the streams
};

// Builds the delta payload into out. False when a content exceeds kDeltaMaxSize or
// memory runs out.
bool EncodeDelta(const uint8_t* oldData, size_t oldSize, const uint8_t* newData, size_t newSize,
                 std::vector<uint8_t>* out, const DeltaOptions& options = DeltaOptions());

// Told how far decoding has come; returning false stops it.
class DeltaProgress {
public:
    virtual bool Advance(uint64_t done, uint64_t total) = 0;

protected:
    ~DeltaProgress() = default;
};

enum class DeltaStatus {
    kOk,
    kCorrupt,   // the payload is malformed or does not fit the old content
    kStopped,   // the progress sink asked to stop
    kNoMemory,
};

// New content is handed on in pieces of this size (the last one may be shorter).
constexpr size_t kDeltaSlice = 64 * 1024;

// Takes the new content piece by piece, in order; returning false stops decoding
// (kNoMemory: the sink could not keep what it was given).
class DeltaSink {
public:
    virtual bool Take(const uint8_t* data, size_t size) = 0;

protected:
    ~DeltaSink() = default;
};

// Keeps the whole content in out. Its room (size bytes) is taken at the first piece,
// which comes only after the payload has been checked against the declared size.
class VectorSink final : public DeltaSink {
public:
    VectorSink(std::vector<uint8_t>* out, uint64_t size) : out_(out), size_(size) { out_->clear(); }
    bool Take(const uint8_t* data, size_t size) override {
        if (out_->empty()) out_->reserve(static_cast<size_t>(size_));
        out_->insert(out_->end(), data, data + size);
        return true;
    }

private:
    std::vector<uint8_t>* out_;
    uint64_t size_;
};

// Rebuilds the new content (of the size the patch declares) from the old one and hands
// it to sink in pieces of kDeltaSlice bytes, so the whole new content is never held at
// once. Every length and position in the payload is checked before use, so a damaged
// or hostile payload gives kCorrupt without reading outside any buffer; the memory it
// can make us take is bounded by the payload size and a few pieces (by newSize, which
// the caller checks first, for a payload of the x86 filter). On kCorrupt the sink may
// have been given part of a content that is not the new one.
DeltaStatus DecodeDelta(const uint8_t* oldData, size_t oldSize, const uint8_t* payload, size_t payloadSize,
                        uint64_t newSize, DeltaSink* sink, DeltaProgress* progress = nullptr);
// The same into out, whole.
DeltaStatus DecodeDelta(const uint8_t* oldData, size_t oldSize, const uint8_t* payload, size_t payloadSize,
                        uint64_t newSize, std::vector<uint8_t>* out, DeltaProgress* progress = nullptr);
