// The induced-sorting suffix array against plain sorting of the suffixes.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "patchlib/suffix_array.h"
#include "patchlib/tests/test_data.h"

namespace {

std::vector<int32_t> Naive(const std::vector<uint8_t>& text) {
    std::vector<int32_t> sa(text.size());
    std::iota(sa.begin(), sa.end(), 0);
    std::sort(sa.begin(), sa.end(), [&](int32_t a, int32_t b) {
        return std::lexicographical_compare(text.begin() + a, text.end(), text.begin() + b, text.end());
    });
    return sa;
}

TEST(SuffixArray, MatchesPlainSortingOnAllKindsOfText) {
    TestRandom random(3);
    std::vector<std::vector<uint8_t>> texts = {
        ToBytes("a"), ToBytes("ab"), ToBytes("ba"), ToBytes("aaaa"), ToBytes("banana"), ToBytes("mississippi"),
        ToBytes("abracadabra abracadabra"), ToBytes("zyxwvutsrqponmlkjihgfedcba"), ToBytes("abababababababababab"),
    };
    for (size_t size : {2u, 3u, 10u, 100u, 1000u, 5000u}) {
        for (unsigned alphabet : {1u, 2u, 3u, 4u, 256u}) texts.push_back(random.Bytes(size, alphabet));
    }
    // Repeats of repeats make the recursion go several levels deep.
    std::vector<uint8_t> nested = ToBytes("abaabaabab");
    for (int i = 0; i < 4; ++i) {
        std::vector<uint8_t> next;
        for (uint8_t c : nested) {
            if (c == 'a') next.insert(next.end(), {'a', 'b', 'a'});
            else next.insert(next.end(), {'b', 'a', 'b', 'b'});
        }
        nested = next;
    }
    texts.push_back(nested);
    texts.push_back(std::vector<uint8_t>(3000, 0));
    texts.push_back(std::vector<uint8_t>({0, 255, 0, 255, 255, 0, 0, 255}));

    for (const auto& text : texts) {
        ASSERT_EQ(BuildSuffixArray(text.data(), text.size()), Naive(text)) << "text of " << text.size() << " bytes";
    }
}

TEST(SuffixArray, EmptyTextGivesEmptyArray) {
    EXPECT_TRUE(BuildSuffixArray(nullptr, 0).empty());
}

TEST(SuffixArray, LargeTextIsAPermutationInOrder) {
    TestRandom random(5);
    std::vector<uint8_t> text = random.Bytes(1 << 20, 4);
    // Long repeated stretches, as in real files.
    for (size_t i = 0; i < 20; ++i) {
        const size_t from = random.Below(text.size() - 5000), to = random.Below(text.size() - 5000);
        std::copy(text.begin() + from, text.begin() + from + 5000, text.begin() + to);
    }
    const std::vector<int32_t> sa = BuildSuffixArray(text.data(), text.size());
    ASSERT_EQ(sa.size(), text.size());
    std::vector<bool> seen(text.size());
    for (int32_t p : sa) {
        ASSERT_FALSE(seen[p]);
        seen[p] = true;
    }
    for (size_t k = 1; k < sa.size(); k += 97) {
        ASSERT_TRUE(std::lexicographical_compare(text.begin() + sa[k - 1], text.end(), text.begin() + sa[k], text.end()));
    }
}

}  // namespace
