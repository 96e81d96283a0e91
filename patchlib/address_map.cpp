#include "patchlib/address_map.h"

#include <algorithm>

#include "patchlib/byte_io.h"

void AddressMap::Index() {
    firstEnding_.clear();
    if (segments.empty()) return;
    const uint64_t span = uint64_t{segments.back().oldStart} + segments.back().length;
    pageShift_ = 12;
    while ((span >> pageShift_) >= kIndexPages) ++pageShift_;
    const size_t pages = static_cast<size_t>(span >> pageShift_) + 1;
    firstEnding_.resize(pages + 1);
    size_t s = 0;
    for (size_t p = 0; p < pages; ++p) {
        const uint64_t start = uint64_t{p} << pageShift_;
        while (s < segments.size() && uint64_t{segments[s].oldStart} + segments[s].length <= start) ++s;
        firstEnding_[p] = static_cast<uint32_t>(s);
    }
    firstEnding_[pages] = static_cast<uint32_t>(segments.size());
}

bool AddressMap::Map(uint32_t oldAddress, uint32_t* newAddress) const {
    auto from = segments.begin(), to = segments.end();
    if (!firstEnding_.empty()) {
        const size_t page = oldAddress >> pageShift_;
        if (page + 1 >= firstEnding_.size()) return false;  // past the last segment
        // The segment holding the address, if any, is the first ending after the page's
        // start or a later one, up to the first ending after the next page's start.
        from = segments.begin() + firstEnding_[page];
        to = segments.begin() + std::min<size_t>(firstEnding_[page + 1] + size_t{1}, segments.size());
    }
    auto after = std::upper_bound(from, to, oldAddress,
                                  [](uint32_t at, const AddressSegment& s) { return at < s.oldStart; });
    if (after == from) return false;
    const AddressSegment& s = *(after - 1);
    if (oldAddress - s.oldStart >= s.length) return false;
    *newAddress = static_cast<uint32_t>(static_cast<int64_t>(oldAddress) + s.shift);
    return true;
}

void WriteAddressMap(const AddressMap& map, std::vector<uint8_t>* out) {
    ByteWriter writer(*out);
    writer.UVar(map.newImageBase);
    writer.UVar(map.segments.size());
    uint64_t end = 0;
    int64_t shift = 0;
    for (const AddressSegment& s : map.segments) {
        writer.UVar(s.oldStart - end);
        writer.UVar(s.length);
        writer.SVar(s.shift - shift);
        end = static_cast<uint64_t>(s.oldStart) + s.length;
        shift = s.shift;
    }
    writer.UVar(map.tables.size());
    end = 0;
    for (const WordTable& t : map.tables) {
        writer.UVar(t.oldStart - end);
        writer.UVar(t.words);
        writer.SVar(t.base);
        end = static_cast<uint64_t>(t.oldStart) + 4 * uint64_t{t.words};
    }
}

bool ReadAddressMap(const uint8_t* data, size_t size, AddressMap* map) {
    ByteReader reader(data, size);
    uint64_t imageBase, count;
    // A segment or table takes at least three bytes, which bounds what a count can make
    // us hold.
    if (!reader.UVar(&imageBase) || !reader.UVar(&count) || count > reader.Remaining() / 3) return false;
    AddressMap result;
    result.newImageBase = imageBase;
    result.segments.reserve(static_cast<size_t>(count));
    constexpr int64_t kSpace = int64_t{1} << 32;
    uint64_t end = 0;
    int64_t shift = 0;
    for (uint64_t k = 0; k < count; ++k) {
        uint64_t gap, length;
        int64_t change;
        if (!reader.UVar(&gap) || !reader.UVar(&length) || !reader.SVar(&change)) return false;
        if (length == 0 || gap >= kSpace || length >= kSpace || change > 2 * kSpace || change < -2 * kSpace) return false;
        const uint64_t start = end + gap;
        if (start + length > static_cast<uint64_t>(kSpace)) return false;
        shift += change;
        // Both ends of the segment map inside the 32-bit address space.
        const int64_t first = static_cast<int64_t>(start) + shift, last = first + static_cast<int64_t>(length) - 1;
        if (first < 0 || last >= kSpace) return false;
        result.segments.push_back({static_cast<uint32_t>(start), static_cast<uint32_t>(length), shift});
        end = start + length;
    }
    if (!reader.UVar(&count) || count > reader.Remaining() / 3) return false;
    result.tables.reserve(static_cast<size_t>(count));
    end = 0;
    for (uint64_t k = 0; k < count; ++k) {
        uint64_t gap, words;
        int64_t base;
        if (!reader.UVar(&gap) || !reader.UVar(&words) || !reader.SVar(&base)) return false;
        if (words == 0 || gap >= kSpace || words >= kSpace / 4 || base >= kSpace || base <= -kSpace) return false;
        const uint64_t start = end + gap;
        if (start + 4 * words > static_cast<uint64_t>(kSpace)) return false;
        result.tables.push_back({static_cast<uint32_t>(start), static_cast<uint32_t>(words), base});
        end = start + 4 * words;
    }
    if (!reader.AtEnd()) return false;
    result.Index();
    *map = std::move(result);
    return true;
}
