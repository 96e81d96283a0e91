// Delta encoding. The new content is walked from left to right. At each position
// the longest exact match in the old content is looked up in its suffix array; as long
// as the alignment in use (new position + fixed offset = old position) explains those
// bytes about as well, it is kept, since its few differing bytes cost little in the
// difference stream. When a match clearly beats it, the stretch covered by the old
// alignment is closed: it is extended forward while at least half of its bytes still
// agree, the new match is extended backward likewise, and whatever lies between the
// two becomes literal bytes.
#include <algorithm>
#include <cstring>
#include <new>

#include "patchlib/byte_io.h"
#include "patchlib/delta.h"
#include "patchlib/delta_layout.h"
#include "patchlib/executable_layout.h"
#include "patchlib/executable_transform.h"
#include "patchlib/suffix_array.h"
#include "patchlib/x86_filter.h"
#include "patchlib/zlib_stream.h"

namespace {

// A match must beat the alignment in use by more than this many bytes to replace it:
// an instruction costs a few bytes, a stray difference byte less.
constexpr int64_t kMinGain = 8;
// Where the alignment in use nearly explains a long match, the walk moves on to near
// its end at once instead of byte by byte (which would cost time quadratic in its
// length on long runs of equal bytes).
constexpr int64_t kSkipWithin = 64;

size_t CommonPrefix(const uint8_t* a, const uint8_t* b, size_t limit) {
    size_t i = 0;
    while (i + 8 <= limit) {
        uint64_t x, y;
        memcpy(&x, a + i, 8);
        memcpy(&y, b + i, 8);
        if (x != y) {
            const uint64_t diff = x ^ y;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
            return i + static_cast<size_t>(__builtin_ctzll(diff) / 8);
#else
            break;
#endif
        }
        i += 8;
    }
    while (i < limit && a[i] == b[i]) ++i;
    return i;
}

// The suffixes of the old content in sorted order; those that share their first two
// bytes form one run of the array, from lo to hi.
struct SuffixOrder {
    SuffixOrder(const uint8_t* old, size_t size) {
        if (size < 2) return;
        sa = BuildSuffixArray(old, size);
        lo.assign(65536, 0);
        hi.assign(65536, 0);
        for (size_t k = 0; k < size; ++k) {
            const size_t pos = static_cast<size_t>(sa[k]);
            if (pos + 1 >= size) continue;
            const unsigned key = unsigned(old[pos]) << 8 | old[pos + 1];
            if (hi[key] == 0) lo[key] = static_cast<int32_t>(k);
            hi[key] = static_cast<int32_t>(k + 1);
        }
    }
    std::vector<int32_t> sa, lo, hi;
};

// Longest-match queries against the old content, searched through the order of its
// suffixes. The executable transform's old content is the old file with its references
// predicted: it differs from the file in a word here and there, so the file's order
// serves it too (a search may then miss a slightly longer match, never read outside
// the content), which saves sorting nearly the same suffixes a second time.
class Matcher {
public:
    Matcher(const SuffixOrder& order, const uint8_t* old, size_t size)
        : old_(old), size_(size), sa_(order.sa), lo_(order.lo), hi_(order.hi) {}

    // Length of the longest prefix of text[0, length) that occurs in the old content,
    // and where; 0 when not even two bytes match.
    size_t Find(const uint8_t* text, size_t length, size_t* where) const {
        if (length < 2 || sa_.empty()) return 0;
        const unsigned key = unsigned(text[0]) << 8 | text[1];
        size_t lo = static_cast<size_t>(lo_[key]), hi = static_cast<size_t>(hi_[key]);
        if (lo == hi) return 0;
        // First suffix not below the text, then the better of it and its predecessor.
        const size_t rangeLo = lo, rangeHi = hi;
        while (lo < hi) {
            const size_t mid = lo + (hi - lo) / 2;
            if (SuffixBelow(static_cast<size_t>(sa_[mid]), text, length)) {
                lo = mid + 1;
            } else {
                hi = mid;
            }
        }
        size_t best = 0;
        for (size_t k = lo > rangeLo ? lo - 1 : lo; k <= lo && k < rangeHi; ++k) {
            const size_t pos = static_cast<size_t>(sa_[k]);
            const size_t common = CommonPrefix(old_ + pos, text, std::min(length, size_ - pos));
            if (common > best) {
                best = common;
                *where = pos;
            }
        }
        return best;
    }

private:
    bool SuffixBelow(size_t pos, const uint8_t* text, size_t length) const {
        const size_t suffixLength = size_ - pos;
        const size_t common = CommonPrefix(old_ + pos, text, std::min(suffixLength, length));
        if (common < suffixLength && common < length) return old_[pos + common] < text[common];
        return suffixLength < length;
    }

    const uint8_t* old_;
    size_t size_;
    const std::vector<int32_t>& sa_;
    const std::vector<int32_t>& lo_;
    const std::vector<int32_t>& hi_;
};

class DeltaBuilder {
public:
    DeltaBuilder(const uint8_t* old, int64_t oldSize, const uint8_t* now, int64_t newSize, const SuffixOrder& order)
        : old_(old), oldSize_(oldSize), new_(now), newSize_(newSize), control_(controlBytes),
          matcher_(order, old, static_cast<size_t>(oldSize)) {}

    std::vector<uint8_t> controlBytes, diffBytes, extraBytes;
    std::vector<AlignedStretch> stretches;  // what the instructions take from the old content

    void Run() {
        int64_t scan = 0, matchLength = 0;
        size_t matchPos = 0;
        int64_t lastScan = 0, lastPos = 0, lastOffset = 0;
        while (scan < newSize_) {
            // Score of the alignment in use over [scan, counted).
            int64_t oldScore = 0;
            scan += matchLength;
            int64_t counted = scan;
            for (; scan < newSize_; ++scan) {
                matchLength = static_cast<int64_t>(
                    matcher_.Find(new_ + scan, static_cast<size_t>(newSize_ - scan), &matchPos));
                for (; counted < scan + matchLength; ++counted) oldScore += Agrees(counted, lastOffset);
                if ((matchLength == oldScore && matchLength != 0) || matchLength > oldScore + kMinGain) break;
                // Move on: one byte, or to near the end of a long match that the
                // alignment in use explains nearly as well.
                const int64_t step = matchLength > kSkipWithin ? matchLength - kSkipWithin : 1;
                for (int64_t i = 0; i < step; ++i) oldScore -= Agrees(scan + i, lastOffset);
                scan += step - 1;
            }
            if (matchLength == oldScore && scan != newSize_) continue;

            // Close the stretch of the alignment in use at [lastScan, ...).
            int64_t forward = 0;
            for (int64_t i = 0, score = 0, best = 0; lastScan + i < scan && lastPos + i < oldSize_;) {
                score += old_[lastPos + i] == new_[lastScan + i];
                ++i;
                if (score * 2 - i > best * 2 - forward) {
                    best = score;
                    forward = i;
                }
            }
            int64_t backward = 0;
            const int64_t pos = static_cast<int64_t>(matchPos);
            if (scan < newSize_) {
                for (int64_t i = 1, score = 0, best = 0; scan - i >= lastScan && pos - i >= 0; ++i) {
                    score += old_[pos - i] == new_[scan - i];
                    if (score * 2 - i > best * 2 - backward) {
                        best = score;
                        backward = i;
                    }
                }
            }
            // Where the two extensions overlap, split at the point that keeps the most
            // agreeing bytes.
            if (lastScan + forward > scan - backward) {
                const int64_t overlap = (lastScan + forward) - (scan - backward);
                int64_t score = 0, best = 0, keep = 0;
                for (int64_t i = 0; i < overlap; ++i) {
                    score += new_[lastScan + forward - overlap + i] == old_[lastPos + forward - overlap + i];
                    score -= new_[scan - backward + i] == old_[pos - backward + i];
                    if (score > best) {
                        best = score;
                        keep = i + 1;
                    }
                }
                forward += keep - overlap;
                backward -= keep;
            }

            if (forward) {
                stretches.push_back({static_cast<uint32_t>(lastPos), static_cast<uint32_t>(lastScan),
                                     static_cast<uint32_t>(forward)});
            }
            FieldCoder coder;
            for (int64_t i = 0; i < forward; ++i) diffBytes.push_back(coder.Encode(old_[lastPos + i], new_[lastScan + i]));
            const int64_t literalStart = lastScan + forward, literalEnd = scan - backward;
            extraBytes.insert(extraBytes.end(), new_ + literalStart, new_ + literalEnd);
            Emit(forward, literalEnd - literalStart, (pos - backward) - (lastPos + forward));

            lastScan = scan - backward;
            lastPos = pos - backward;
            lastOffset = pos - scan;
        }
        // Nothing follows the last instruction: its seek says nothing.
        heldSeek_ = 0;
        Flush();
    }

private:
    int64_t Agrees(int64_t at, int64_t offset) const {
        const int64_t o = at + offset;
        return o >= 0 && o < oldSize_ && old_[o] == new_[at];
    }

    // Instructions are held back by one, so that a bare seek (nothing copied, nothing
    // added) folds into the one before it; only a leading one is written as it is.
    void Emit(int64_t diff, int64_t extra, int64_t seek) {
        if (diff == 0 && extra == 0 && held_) {
            heldSeek_ += seek;
            return;
        }
        Flush();
        held_ = true;
        heldDiff_ = diff;
        heldExtra_ = extra;
        heldSeek_ = seek;
    }
    void Flush() {
        if (!held_) return;
        control_.UVar(static_cast<uint64_t>(heldDiff_));
        control_.UVar(static_cast<uint64_t>(heldExtra_));
        control_.SVar(heldSeek_);
        held_ = false;
    }

    const uint8_t* old_;
    int64_t oldSize_;
    const uint8_t* new_;
    int64_t newSize_;
    ByteWriter control_;
    Matcher matcher_;
    bool held_ = false;
    int64_t heldDiff_ = 0, heldExtra_ = 0, heldSeek_ = 0;
};

// The difference bytes are mostly zeros with short runs of other bytes between them.
// They go into two streams: the lengths of the zero runs, and each run of other bytes
// as its length and the bytes. Deflate does far better on these two apart than on the
// bytes as they are (about 1 byte per 1000 for long zero runs; and the positions of
// changes, which look random, no longer break up the repeats among the changes). In the
// compact coding the zeros after the last other byte are implied.
void SplitDifferences(const std::vector<uint8_t>& bytes, bool impliedTail, std::vector<uint8_t>* gaps,
                      std::vector<uint8_t>* runs) {
    ByteWriter gapWriter(*gaps), runWriter(*runs);
    for (size_t i = 0; i < bytes.size();) {
        size_t zeros = 0;
        while (i + zeros < bytes.size() && bytes[i + zeros] == 0) ++zeros;
        i += zeros;
        if (i == bytes.size() && impliedTail) break;
        size_t other = 0;
        while (i + other < bytes.size() && bytes[i + other] != 0) ++other;
        gapWriter.UVar(zeros);
        runWriter.UVar(other);
        runWriter.Bytes(bytes.data() + i, other);
        i += other;
    }
}

// The payload of what the builder made, with the address map as a fifth stream when
// there is one.
bool Pack(DeltaBuilder& builder, DeltaFilter filter, const std::vector<uint8_t>* map, const DeltaOptions& options,
          std::vector<uint8_t>* out) {
    const bool compact = options.compact;
    std::vector<uint8_t> raw[kMaxStreams];
    raw[kControlStream] = std::move(builder.controlBytes);
    SplitDifferences(builder.diffBytes, compact, &raw[kGapStream], &raw[kByteStream]);
    raw[kExtraStream] = std::move(builder.extraBytes);
    if (map) raw[kMapStream] = *map;

    DeltaHeader header;
    header.filter = static_cast<uint8_t>(filter);
    header.coding = compact ? StreamCoding::kCompact : StreamCoding::kPlain;
    std::vector<uint8_t> packed[kMaxStreams];
    for (int s = 0; s < header.Streams(); ++s) {
        if (!DeflateBytes(raw[s].data(), raw[s].size(), options.level, &packed[s])) return false;
        // Stored as it is unless deflate made it smaller.
        if (compact && packed[s].size() >= raw[s].size()) packed[s] = raw[s];
        header.raw[s] = raw[s].size();
        header.packed[s] = packed[s].size();
    }
    out->clear();
    ByteWriter writer(*out);
    header.Write(writer);
    for (int s = 0; s < header.Streams(); ++s) writer.Bytes(packed[s].data(), packed[s].size());
    return true;
}

// The executable transform's delta, when both contents are PE files of one machine and
// the plain delta's alignment moves any reference of the old one.
bool EncodeExecutable(const uint8_t* oldData, size_t oldSize, const uint8_t* newData, size_t newSize,
                      const std::vector<AlignedStretch>& stretches, const SuffixOrder& order,
                      const DeltaOptions& options, std::vector<uint8_t>* out) {
    ExecutableLayout oldLayout, newLayout;
    if (!ReadExecutableLayout(oldData, oldSize, &oldLayout) || !ReadExecutableLayout(newData, newSize, &newLayout) ||
        oldLayout.machine != newLayout.machine) {
        return false;
    }
    const AddressMap map = BuildAddressMap(oldData, oldSize, oldLayout, newData, newLayout, stretches);
    const std::vector<ReferenceFix> fixes = PredictReferences(oldData, oldSize, oldLayout, map);
    if (fixes.empty()) return false;
    std::vector<uint8_t> predicted(oldData, oldData + oldSize);
    ApplyFixes(fixes, 0, predicted.data(), predicted.size());
    std::vector<uint8_t> mapBytes;
    WriteAddressMap(map, &mapBytes);
    DeltaBuilder builder(predicted.data(), static_cast<int64_t>(oldSize), newData, static_cast<int64_t>(newSize),
                         order);
    builder.Run();
    return Pack(builder, DeltaFilter::kExecutable, &mapBytes, options, out);
}

}  // namespace

bool EncodeDelta(const uint8_t* oldData, size_t oldSize, const uint8_t* newData, size_t newSize,
                 std::vector<uint8_t>* out, const DeltaOptions& options) {
    if (oldSize > kDeltaMaxSize || newSize > kDeltaMaxSize) return false;
    try {
        const DeltaFilter filter = options.filter;
        std::vector<uint8_t> filteredOld, filteredNew;
        if (filter == DeltaFilter::kX86) {
            filteredOld.assign(oldData, oldData + oldSize);
            filteredNew.assign(newData, newData + newSize);
            X86Filter(filteredOld.data(), oldSize);
            X86Filter(filteredNew.data(), newSize);
            oldData = filteredOld.data();
            newData = filteredNew.data();
        }
        const SuffixOrder order(oldData, oldSize);
        DeltaBuilder builder(oldData, static_cast<int64_t>(oldSize), newData, static_cast<int64_t>(newSize), order);
        builder.Run();
        const std::vector<AlignedStretch> stretches = std::move(builder.stretches);
        if (!Pack(builder, filter, nullptr, options, out)) return false;
        if (filter == DeltaFilter::kNone && options.executables) {
            std::vector<uint8_t> transformed;
            if (EncodeExecutable(oldData, oldSize, newData, newSize, stretches, order, options, &transformed) &&
                transformed.size() < out->size()) {
                out->swap(transformed);
            }
        }
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}
