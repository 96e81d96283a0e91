#include "patchlib/executable_transform.h"

#include <algorithm>
#include <deque>
#include <iterator>

#include "patchlib/byte_io.h"
#include "patchlib/x86_references.h"

namespace {

// Segments of equal shift this close are one: the bytes between them changed in place.
constexpr uint32_t kCloseGap = 256;

const ExecutableSection* SectionHolding(const ExecutableLayout& layout, uint32_t offset) {
    for (const ExecutableSection& s : layout.sections) {
        if (offset >= s.rawOffset && offset - s.rawOffset < s.MappedRawSize()) return &s;
    }
    return nullptr;
}

// How many bytes from offset on lie outside every section's data: up to the next one's.
uint32_t OutsideSections(const ExecutableLayout& layout, uint32_t offset, uint32_t limit) {
    uint32_t next = limit;
    for (const ExecutableSection& s : layout.sections) {
        if (s.MappedRawSize() && s.rawOffset > offset) next = std::min(next, s.rawOffset - offset);
    }
    return next;
}

bool MapsInside(const AddressSegment& s) {
    const int64_t first = static_cast<int64_t>(s.oldStart) + s.shift;
    return s.length && first >= 0 && first + s.length <= (int64_t{1} << 32) &&
           static_cast<uint64_t>(s.oldStart) + s.length <= (uint64_t{1} << 32);
}

// A word of a table, where it lies in the file.
struct TableWord {
    uint32_t offset;
    uint32_t table;  // index into the map's tables
    bool blocked;    // a reference overlaps it
};

// The words of the map's tables that lie wholly inside one section's mapped data, one by
// one, ascending by offset (tables and sections both ascend, sections also in the file),
// so nothing is held per word, and a table as large as the address space costs no more
// than the sections it meets.
class TableWords {
public:
    TableWords(const ExecutableLayout& layout, const AddressMap& map) : layout_(layout), map_(map) {}

    bool Next(TableWord* word) {
        while (k_ >= kEnd_) {
            if (!Advance()) return false;
        }
        const WordTable& table = map_.tables[table_];
        const ExecutableSection& s = layout_.sections[section_];
        const uint32_t address = table.oldStart + 4 * k_++;
        *word = {s.rawOffset + (address - s.virtualAddress), static_cast<uint32_t>(table_), false};
        return true;
    }

private:
    // On to the next pair of table and section, and the words of the one inside the other.
    bool Advance() {
        if (started_ && ++section_ == layout_.sections.size()) {
            section_ = 0;
            ++table_;
        }
        started_ = true;
        if (table_ >= map_.tables.size()) return false;
        const WordTable& table = map_.tables[table_];
        const ExecutableSection& s = layout_.sections[section_];
        const uint64_t tableEnd = uint64_t{table.oldStart} + 4 * uint64_t{table.words};
        const uint64_t sectionEnd = uint64_t{s.virtualAddress} + s.MappedRawSize();
        const uint64_t from = std::max<uint64_t>(table.oldStart, s.virtualAddress);
        const uint64_t to = std::min(tableEnd, sectionEnd);
        k_ = (from - table.oldStart + 3) / 4;  // the first word starting in the section
        kEnd_ = to >= table.oldStart + 4 ? (to - table.oldStart - 4) / 4 + 1 : 0;  // past the last word ending in it
        return true;
    }

    const ExecutableLayout& layout_;
    const AddressMap& map_;
    size_t table_ = 0, section_ = 0;
    bool started_ = false;
    uint64_t k_ = 0, kEnd_ = 0;
};

// Walks the references in file order and, between them, the table words; a table word
// that a reference overlaps belongs to the reference. The fixes come out ascending and
// apart.
class Predictor : public ReferenceVisitor {
public:
    Predictor(const uint8_t* old, const ExecutableLayout& layout, const AddressMap& map,
              std::vector<ReferenceFix>* fixes)
        : old_(old), map_(map), words_(layout, map), fixes_(fixes) {}

    void Visit(const AddressReference& reference, unsigned width) override {
        // No later reference can reach the words that end before this one starts.
        TableWord* word;
        while ((word = Front()) && word->offset + 4 <= reference.offset) Settle();
        for (size_t w = 0; w < pending_.size() || Pull(); ++w) {
            if (pending_[w].offset >= reference.offset + width) break;
            pending_[w].blocked = true;
        }
        uint32_t target, value;
        if (!map_.Map(reference.target, &target)) return;
        if (reference.relative) {
            // The source is the end of the instruction, which may be where its segment
            // ends: map its last byte.
            uint32_t source;
            if (!map_.Map(reference.source - 1, &source)) return;
            value = target - (source + 1);
        } else {
            // Of a 64-bit address only the low half is predicted; the high one rarely changes.
            value = static_cast<uint32_t>(map_.newImageBase + target);
        }
        if (value != LoadU32(old_ + reference.offset)) fixes_->push_back({reference.offset, value});
    }

    // The words after the last reference.
    void Finish() {
        while (Front()) Settle();
    }

private:
    bool Pull() {
        TableWord word;
        if (!words_.Next(&word)) return false;
        pending_.push_back(word);
        return true;
    }
    TableWord* Front() { return pending_.empty() && !Pull() ? nullptr : &pending_.front(); }

    // Predicts the first pending word, unless a reference or the word before took its bytes.
    void Settle() {
        const TableWord w = pending_.front();
        pending_.pop_front();
        if (w.blocked || w.offset < tableFixEnd_) return;
        const WordTable& table = map_.tables[w.table];
        const uint32_t word = LoadU32(old_ + w.offset);
        uint32_t target;
        if (!map_.Map(static_cast<uint32_t>(word + table.base), &target)) return;
        const uint32_t value = static_cast<uint32_t>(target - table.base);
        if (value == word) return;
        fixes_->push_back({w.offset, value});
        tableFixEnd_ = uint64_t{w.offset} + 4;
    }

    const uint8_t* old_;
    const AddressMap& map_;
    TableWords words_;
    std::deque<TableWord> pending_;  // read from the tables, not yet settled
    uint64_t tableFixEnd_ = 0;
    std::vector<ReferenceFix>* fixes_;
};

}  // namespace

std::vector<ReferenceFix> PredictReferences(const uint8_t* old, size_t size, const ExecutableLayout& layout,
                                            const AddressMap& map) {
    std::vector<ReferenceFix> fixes;
    Predictor predictor(old, layout, map, &fixes);
    VisitReferences(old, size, layout, predictor);
    predictor.Finish();
    return fixes;
}

void ApplyFixes(const std::vector<ReferenceFix>& fixes, size_t from, uint8_t* window, size_t length) {
    auto fix = std::lower_bound(fixes.begin(), fixes.end(), from,
                                [](const ReferenceFix& f, size_t at) { return f.offset + size_t{4} <= at; });
    for (; fix != fixes.end() && fix->offset < from + length; ++fix) {
        for (unsigned k = 0; k < 4; ++k) {
            const size_t at = size_t{fix->offset} + k;
            if (at >= from && at < from + length) window[at - from] = static_cast<uint8_t>(fix->value >> (8 * k));
        }
    }
}

namespace {

// Sorted pieces, possibly overlapping, as a map: where old addresses went to two places
// the first piece keeps them; neighbours of equal shift close up.
void Settle(std::vector<AddressSegment>& pieces, AddressMap* map) {
    std::stable_sort(pieces.begin(), pieces.end(),
                     [](const AddressSegment& x, const AddressSegment& y) { return x.oldStart < y.oldStart; });
    map->segments.clear();
    for (AddressSegment piece : pieces) {
        if (!MapsInside(piece)) continue;
        if (!map->segments.empty()) {
            AddressSegment& last = map->segments.back();
            const uint64_t end = uint64_t{last.oldStart} + last.length;
            if (piece.oldStart < end) {
                const uint64_t cut = end - piece.oldStart;
                if (cut >= piece.length) continue;
                piece.oldStart += static_cast<uint32_t>(cut);
                piece.length -= static_cast<uint32_t>(cut);
            }
            if (piece.shift == last.shift && piece.oldStart - end <= kCloseGap) {
                last.length = piece.oldStart + piece.length - last.oldStart;
                continue;
            }
        }
        map->segments.push_back(piece);
    }
}

// Where the stretches put old bytes in the new file, asked in ascending order of old
// offset (Rewind to start again).
class AlignedOffsets {
public:
    explicit AlignedOffsets(const std::vector<AlignedStretch>& stretches) : byOld_(stretches) {
        std::sort(byOld_.begin(), byOld_.end(),
                  [](const AlignedStretch& a, const AlignedStretch& b) { return a.oldOffset < b.oldOffset; });
    }

    void Rewind() { next_ = 0; }

    // The new offset of the width bytes at oldOffset, when one stretch holds them all.
    bool NewOffsetOf(uint32_t oldOffset, unsigned width, uint32_t* newOffset) {
        const uint64_t end = uint64_t{oldOffset} + width;
        while (next_ < byOld_.size() && uint64_t{byOld_[next_].oldOffset} + byOld_[next_].length < end) ++next_;
        // The first stretch from there on that starts early enough and reaches far enough.
        for (size_t j = next_; j < byOld_.size() && byOld_[j].oldOffset <= oldOffset; ++j) {
            if (uint64_t{byOld_[j].oldOffset} + byOld_[j].length >= end) {
                *newOffset = byOld_[j].newOffset + (oldOffset - byOld_[j].oldOffset);
                return true;
            }
        }
        return false;
    }

private:
    std::vector<AlignedStretch> byOld_;
    size_t next_ = 0;
};

// Where each aligned reference of the old file points in the new one: pairs of old target
// and shift.
struct Observation {
    uint32_t target;
    int64_t shift;
};

std::vector<Observation> Observe(const ExecutableLayout& oldLayout, const uint8_t* newData,
                                 const ExecutableLayout& newLayout, AlignedOffsets& aligned,
                                 const std::vector<AddressReference>& references) {
    std::vector<Observation> seen;
    const unsigned width = oldLayout.machine == ExecutableMachine::kAmd64 ? 8 : 4;
    aligned.Rewind();
    for (const AddressReference& r : references) {
        uint32_t n;
        if (!aligned.NewOffsetOf(r.offset, r.relative ? 4 : width, &n)) continue;
        uint32_t newTarget;
        if (r.relative) {
            const ExecutableSection* a = SectionHolding(oldLayout, r.offset);
            const ExecutableSection* b = SectionHolding(newLayout, n);
            if (!a || !b) continue;
            const uint32_t length = r.source - (a->virtualAddress + (r.offset - a->rawOffset));
            const uint32_t newSource = b->virtualAddress + (n - b->rawOffset) + length;
            newTarget = newSource + LoadU32(newData + n);
        } else {
            const uint64_t value = width == 8 ? LoadU64(newData + n) : LoadU32(newData + n);
            if (value < newLayout.imageBase || value - newLayout.imageBase >= newLayout.sizeOfImage) continue;
            newTarget = static_cast<uint32_t>(value - newLayout.imageBase);
        }
        seen.push_back({r.target, int64_t{newTarget} - r.target});
    }
    return seen;
}

// Tables of words worth predicting: per section and base, the stretches of words where
// predictions that the aligned new bytes confirm outweigh those they refute, by enough
// to pay for the table's few bytes in the map.
std::vector<WordTable> ChooseWordTables(const uint8_t* oldData, const ExecutableLayout& oldLayout, const uint8_t* newData,
                                        AlignedOffsets& aligned, const AddressMap& map,
                                        const std::vector<AddressReference>& references) {
    constexpr int64_t kWorthIt = 4, kGiveUp = 8;
    struct Candidate {
        WordTable table;
        int64_t score;
    };
    std::vector<Candidate> candidates;
    const unsigned width = oldLayout.machine == ExecutableMachine::kAmd64 ? 8 : 4;
    std::vector<int64_t> bases = {0};
    for (const ExecutableSection& s : oldLayout.sections) {
        if (s.Executable()) bases.push_back(s.virtualAddress);
    }
    for (const ExecutableSection& section : oldLayout.sections) {
        const uint32_t words = section.MappedRawSize() / 4;
        if (words == 0) continue;
        for (const int64_t base : bases) {
            if (base && section.Executable()) continue;  // code holds no offsets into code
            std::vector<int8_t> score(words, 0);
            size_t r = 0;
            aligned.Rewind();
            for (uint32_t i = 0; i < words; ++i) {
                const uint32_t offset = section.rawOffset + 4 * i;
                while (r < references.size() &&
                       references[r].offset + (references[r].relative ? 4u : width) <= offset) {
                    ++r;
                }
                if (r < references.size() && references[r].offset < offset + 4) continue;
                const uint32_t word = LoadU32(oldData + offset);
                uint32_t target;
                if (!map.Map(static_cast<uint32_t>(word + base), &target)) continue;
                const uint32_t predicted = static_cast<uint32_t>(target - base);
                if (predicted == word) continue;
                uint32_t at;
                if (!aligned.NewOffsetOf(offset, 4, &at)) continue;
                const uint32_t now = LoadU32(newData + at);
                score[i] = now == predicted ? 1 : now == word ? -1 : 0;
            }
            for (uint32_t i = 0; i < words; ++i) {
                if (score[i] <= 0) continue;
                int64_t sum = 0, best = 0;
                uint32_t end = i;
                for (uint32_t j = i; j < words && sum > best - kGiveUp && sum >= 0; ++j) {
                    sum += score[j];
                    if (sum > best) {
                        best = sum;
                        end = j;
                    }
                }
                if (best >= kWorthIt) {
                    candidates.push_back({{section.virtualAddress + 4 * i, end - i + 1, base}, best});
                }
                i = end;
            }
        }
    }
    // The best of overlapping tables (of different bases), then in order of address.
    std::sort(candidates.begin(), candidates.end(),
              [](const Candidate& a, const Candidate& b) { return a.score > b.score; });
    std::vector<WordTable> chosen;
    for (const Candidate& c : candidates) {
        const uint64_t start = c.table.oldStart, end = start + 4 * uint64_t{c.table.words};
        const bool overlaps = std::any_of(chosen.begin(), chosen.end(), [&](const WordTable& t) {
            return start < t.oldStart + 4 * uint64_t{t.words} && t.oldStart < end;
        });
        if (!overlaps) chosen.push_back(c.table);
    }
    std::sort(chosen.begin(), chosen.end(), [](const WordTable& a, const WordTable& b) { return a.oldStart < b.oldStart; });
    return chosen;
}

}  // namespace

AddressMap BuildAddressMap(const uint8_t* oldData, size_t oldSize, const ExecutableLayout& oldLayout,
                           const uint8_t* newData, const ExecutableLayout& newLayout,
                           const std::vector<AlignedStretch>& stretches) {
    std::vector<AddressSegment> pieces;
    for (const AlignedStretch& stretch : stretches) {
        uint32_t o = stretch.oldOffset, n = stretch.newOffset, left = stretch.length;
        while (left) {
            const ExecutableSection* a = SectionHolding(oldLayout, o);
            const ExecutableSection* b = SectionHolding(newLayout, n);
            uint32_t take = left;
            take = a ? std::min(take, a->rawOffset + a->MappedRawSize() - o) : OutsideSections(oldLayout, o, take);
            take = b ? std::min(take, b->rawOffset + b->MappedRawSize() - n) : OutsideSections(newLayout, n, take);
            if (a && b) {
                const uint32_t oldAddress = a->virtualAddress + (o - a->rawOffset);
                const uint32_t newAddress = b->virtualAddress + (n - b->rawOffset);
                pieces.push_back({oldAddress, take, int64_t{newAddress} - oldAddress});
            }
            o += take;
            n += take;
            left -= take;
        }
    }
    // The part of a section beyond its data (uninitialised variables) keeps its place
    // after the data, in the new section of the same name.
    for (const ExecutableSection& a : oldLayout.sections) {
        const uint32_t tail = a.virtualAddress + a.MappedRawSize();
        if (tail >= a.VirtualEnd()) continue;
        const auto b = std::find_if(newLayout.sections.begin(), newLayout.sections.end(),
                                    [&](const ExecutableSection& s) { return s.name == a.name; });
        if (b == newLayout.sections.end()) continue;
        const int64_t shift = int64_t{b->virtualAddress} + b->MappedRawSize() - tail;
        pieces.push_back({tail, a.VirtualEnd() - tail, shift});
    }
    AddressMap base;
    base.newImageBase = newLayout.imageBase;
    Settle(pieces, &base);
    base.Index();

    // The shift most references to each target show, in order of target.
    const std::vector<AddressReference> references = FindReferences(oldData, oldSize, oldLayout);
    AlignedOffsets aligned(stretches);
    std::vector<Observation> seen = Observe(oldLayout, newData, newLayout, aligned, references);
    std::sort(seen.begin(), seen.end(), [](const Observation& a, const Observation& b) {
        return a.target != b.target ? a.target < b.target : a.shift < b.shift;
    });
    std::vector<Observation> votes;
    for (size_t i = 0; i < seen.size();) {
        size_t best = i, bestCount = 0;
        size_t j = i;
        while (j < seen.size() && seen[j].target == seen[i].target) {
            size_t e = j;
            while (e < seen.size() && seen[e].target == seen[j].target && seen[e].shift == seen[j].shift) ++e;
            if (e - j > bestCount) {
                bestCount = e - j;
                best = j;
            }
            j = e;
        }
        votes.push_back(seen[best]);
        i = j;
    }
    // Runs of targets with one shift; those the base map gets wrong anywhere are laid over it.
    std::vector<AddressSegment> layered;
    for (size_t i = 0; i < votes.size();) {
        size_t j = i;
        bool wrong = false;
        for (; j < votes.size() && votes[j].shift == votes[i].shift; ++j) {
            uint32_t mapped;
            wrong |= !base.Map(votes[j].target, &mapped) || int64_t{mapped} - votes[j].target != votes[j].shift;
        }
        if (wrong) layered.push_back({votes[i].target, votes[j - 1].target - votes[i].target + 1, votes[i].shift});
        i = j;
    }
    // The corrections first, then the base map in what they leave free.
    std::vector<AddressSegment> all;
    size_t next = 0;
    for (const AddressSegment& s : base.segments) {
        uint64_t start = s.oldStart;
        const uint64_t end = uint64_t{s.oldStart} + s.length;
        while (next < layered.size() && uint64_t{layered[next].oldStart} + layered[next].length <= start) ++next;
        for (size_t l = next; l < layered.size() && layered[l].oldStart < end; ++l) {
            if (layered[l].oldStart > start) all.push_back({static_cast<uint32_t>(start), static_cast<uint32_t>(layered[l].oldStart - start), s.shift});
            start = std::max<uint64_t>(start, uint64_t{layered[l].oldStart} + layered[l].length);
        }
        if (start < end) all.push_back({static_cast<uint32_t>(start), static_cast<uint32_t>(end - start), s.shift});
    }
    all.insert(all.end(), layered.begin(), layered.end());
    AddressMap map;
    map.newImageBase = newLayout.imageBase;
    Settle(all, &map);
    map.Index();
    map.tables = ChooseWordTables(oldData, oldLayout, newData, aligned, map, references);
    return map;
}
