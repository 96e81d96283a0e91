#include "patchlib/content_sink.h"

#include <algorithm>
#include <new>
#include <vector>

#include "patchlib/zlib_stream.h"

DeltaStatus InflateToSink(const uint8_t* packed, size_t packedSize, uint64_t rawSize, DeltaSink* sink,
                          DeltaProgress* progress) {
    try {
        InflateReader reader;
        if (!reader.Open(packed, packedSize, rawSize)) return DeltaStatus::kNoMemory;
        std::vector<uint8_t> slice(static_cast<size_t>(std::min<uint64_t>(kDeltaSlice, rawSize)));
        for (uint64_t done = 0; done < rawSize;) {
            const size_t size = static_cast<size_t>(std::min<uint64_t>(kDeltaSlice, rawSize - done));
            if (!reader.Read(slice.data(), size)) return DeltaStatus::kCorrupt;
            if (!sink->Take(slice.data(), size)) return DeltaStatus::kNoMemory;
            done += size;
            if (progress && done < rawSize && !progress->Advance(done, rawSize)) return DeltaStatus::kStopped;
        }
        return reader.Finish() ? DeltaStatus::kOk : DeltaStatus::kCorrupt;
    } catch (const std::bad_alloc&) {
        return DeltaStatus::kNoMemory;
    }
}
