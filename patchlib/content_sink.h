// What the appliers share when a new file is rebuilt piece by piece: the pieces are
// counted and hashed on their way to where they are kept, so the result is checked
// without ever being held whole.
#pragma once
#include <cstddef>
#include <cstdint>

#include "patchlib/delta.h"
#include "patchlib/sha256.h"

// Counts and hashes what passes on to next.
class CheckingSink : public DeltaSink {
public:
    explicit CheckingSink(DeltaSink* next) : next_(next) {}
    bool Take(const uint8_t* data, size_t size) override {
        hash_.Update(data, size);
        size_ += size;
        return next_->Take(data, size);
    }
    // Once everything has passed: whether it was exactly the content expected.
    bool Matches(uint64_t size, const Sha256Digest& digest) { return size_ == size && hash_.Finish() == digest; }

private:
    DeltaSink* next_;
    Sha256 hash_;
    uint64_t size_ = 0;
};

// An added file's payload (one raw deflate stream of rawSize bytes) to sink in slices,
// with progress after each.
DeltaStatus InflateToSink(const uint8_t* packed, size_t packedSize, uint64_t rawSize, DeltaSink* sink,
                          DeltaProgress* progress = nullptr);
