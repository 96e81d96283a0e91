#include "patchlib/suffix_array.h"

#include <algorithm>

namespace {

// Types of suffixes: S when smaller than the next suffix, L when larger. The text
// ends with a virtual sentinel smaller than every character, so the last suffix is L.
class SuffixTypes {
public:
    template <typename Char>
    SuffixTypes(const Char* text, int32_t n) : small_(static_cast<size_t>(n)) {
        small_[n - 1] = 0;
        for (int32_t i = n - 2; i >= 0; --i) {
            small_[i] = text[i] < text[i + 1] || (text[i] == text[i + 1] && small_[i + 1]);
        }
    }
    bool Small(int32_t i) const { return small_[i] != 0; }
    // Leftmost S: an S suffix right after an L suffix.
    bool Lms(int32_t i) const { return i > 0 && small_[i] && !small_[i - 1]; }

private:
    std::vector<uint8_t> small_;
};

// Start (or end, one past the last slot) of every character's bucket.
void BucketBounds(int32_t alphabet, const std::vector<int32_t>& counts, std::vector<int32_t>& bounds,
                  bool ends) {
    int32_t sum = 0;
    for (int32_t c = 0; c < alphabet; ++c) {
        sum += counts[c];
        bounds[c] = ends ? sum : sum - counts[c];
    }
}

template <typename Char>
void InduceSort(const Char* text, int32_t* sa, int32_t n, int32_t alphabet, const SuffixTypes& types,
                const std::vector<int32_t>& counts, std::vector<int32_t>& bounds) {
    // L suffixes, left to right, starting with the one before the sentinel.
    BucketBounds(alphabet, counts, bounds, false);
    sa[bounds[text[n - 1]]++] = n - 1;
    for (int32_t k = 0; k < n; ++k) {
        const int32_t j = sa[k] - 1;
        if (sa[k] > 0 && !types.Small(j)) sa[bounds[text[j]]++] = j;
    }
    // S suffixes, right to left.
    BucketBounds(alphabet, counts, bounds, true);
    for (int32_t k = n - 1; k >= 0; --k) {
        const int32_t j = sa[k] - 1;
        if (sa[k] > 0 && types.Small(j)) sa[--bounds[text[j]]] = j;
    }
}

template <typename Char>
bool SameLmsSubstring(const Char* text, int32_t n, const SuffixTypes& types, int32_t a, int32_t b) {
    for (int32_t d = 0;; ++d) {
        // The sentinel is unique, so a substring that reaches it equals no other.
        if (a + d >= n || b + d >= n) return false;
        if (text[a + d] != text[b + d] || types.Small(a + d) != types.Small(b + d)) return false;
        if (d > 0) {
            const bool endA = types.Lms(a + d), endB = types.Lms(b + d);
            if (endA || endB) return endA && endB;
        }
    }
}

// Characters of text lie in [0, alphabet); sa has room for n entries.
template <typename Char>
void Sais(const Char* text, int32_t* sa, int32_t n, int32_t alphabet) {
    if (n == 1) {
        sa[0] = 0;
        return;
    }
    const SuffixTypes types(text, n);
    std::vector<int32_t> counts(static_cast<size_t>(alphabet), 0), bounds(static_cast<size_t>(alphabet));
    for (int32_t i = 0; i < n; ++i) ++counts[text[i]];

    // Sort the LMS substrings: LMS positions at their bucket ends, then induce.
    std::fill(sa, sa + n, -1);
    BucketBounds(alphabet, counts, bounds, true);
    for (int32_t i = 1; i < n; ++i) {
        if (types.Lms(i)) sa[--bounds[text[i]]] = i;
    }
    InduceSort(text, sa, n, alphabet, types, counts, bounds);

    // Gather the sorted LMS positions at the front and name the substrings.
    int32_t m = 0;
    for (int32_t k = 0; k < n; ++k) {
        if (types.Lms(sa[k])) sa[m++] = sa[k];
    }
    std::fill(sa + m, sa + n, -1);
    int32_t names = 0, previous = -1;
    for (int32_t k = 0; k < m; ++k) {
        const int32_t pos = sa[k];
        if (previous < 0 || !SameLmsSubstring(text, n, types, pos, previous)) {
            ++names;
            previous = pos;
        }
        sa[m + pos / 2] = names - 1;  // LMS positions are at least two apart
    }
    // The reduced string, in text order, at the very end of sa.
    int32_t* reduced = sa + n - m;
    for (int32_t i = n - 1, j = n - 1; i >= m; --i) {
        if (sa[i] >= 0) sa[j--] = sa[i];
    }

    // Sort the LMS suffixes: recurse unless every name is unique.
    if (names < m) {
        Sais(reduced, sa, m, names);
    } else {
        for (int32_t i = 0; i < m; ++i) sa[reduced[i]] = i;
    }
    for (int32_t i = 1, j = 0; i < n; ++i) {
        if (types.Lms(i)) reduced[j++] = i;
    }
    for (int32_t i = 0; i < m; ++i) sa[i] = reduced[sa[i]];
    std::fill(sa + m, sa + n, -1);

    // Place them at their bucket ends in order and induce the rest.
    BucketBounds(alphabet, counts, bounds, true);
    for (int32_t i = m - 1; i >= 0; --i) {
        const int32_t pos = sa[i];
        sa[i] = -1;
        sa[--bounds[text[pos]]] = pos;
    }
    InduceSort(text, sa, n, alphabet, types, counts, bounds);
}

}  // namespace

std::vector<int32_t> BuildSuffixArray(const uint8_t* text, size_t size) {
    if (size == 0 || size > kSuffixArrayMaxSize) return {};
    std::vector<int32_t> sa(size);
    Sais(text, sa.data(), static_cast<int32_t>(size), 256);
    return sa;
}
