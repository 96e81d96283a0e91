// The version-path search: which chains of steps the decision and the patch run see.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "engine/patch_path_search.h"

namespace {

std::vector<ImagePatchStep> Steps(const std::vector<std::pair<int32_t, int32_t>>& pairs) {
    std::vector<ImagePatchStep> steps;
    for (const auto& pair : pairs) {
        ImagePatchStep step;
        step.fromVersion = pair.first;
        step.toVersion = pair.second;
        step.remotePath = std::to_string(pair.first) + "-" + std::to_string(pair.second);
        steps.push_back(step);
    }
    return steps;
}

std::string Text(const PatchPath& path) {
    std::string text;
    for (const ImagePatchStep& step : path) text += (text.empty() ? "" : " ") + step.remotePath;
    return text;
}

std::string Chosen(int32_t fromV, int32_t toV, const std::vector<std::pair<int32_t, int32_t>>& pairs) {
    const std::vector<PatchPath> candidates = FindPatchPaths(fromV, toV, Steps(pairs));
    const PatchPath* shortest = ShortestPatchPath(candidates);
    return shortest ? Text(*shortest) : "none";
}

}  // namespace

TEST(PatchPathSearch, CandidatesAndTheShortest) {
    const std::vector<PatchPath> candidates = FindPatchPaths(1, 3, Steps({{1, 2}, {2, 3}, {1, 3}}));
    ASSERT_EQ(2u, candidates.size());
    EXPECT_EQ("1-2 2-3", Text(candidates[0]));
    EXPECT_EQ("1-3", Text(candidates[1]));
    EXPECT_EQ("1-3", Chosen(1, 3, {{1, 2}, {2, 3}, {1, 3}}));

    EXPECT_EQ("1-2 2-3", Chosen(1, 5, {{1, 2}, {2, 3}}));           // short of the target, still a path
    EXPECT_EQ("2-1 1-4", Chosen(2, 4, {{2, 1}, {1, 4}}));           // the first step may go back
    EXPECT_EQ("3-2 2-1", Chosen(3, 1, {{3, 2}, {2, 1}}));           // a downgrade
    EXPECT_EQ("1-3", Chosen(1, 3, {{1, 3}, {1, 2}}));               // first on ties
    EXPECT_EQ("2-3 3-4", Chosen(2, 4, {{2, 3}, {3, 2}, {3, 4}}));   // never against the direction after the start
    EXPECT_EQ("none", Chosen(1, 3, {{2, 3}, {3, 4}}));
    EXPECT_EQ("none", Chosen(1, 3, {}));
}

// Where steps branch, a candidate follows one branch: the one that reaches the target in
// the fewest steps, else the first.
TEST(PatchPathSearch, BranchesNeverLeaveDeadStepsInACandidate) {
    EXPECT_EQ("1-2 2-3 3-4", Chosen(1, 4, {{1, 2}, {2, 5}, {2, 3}, {3, 4}}));
    EXPECT_EQ("1-2 2-4", Chosen(1, 4, {{1, 2}, {2, 3}, {3, 4}, {2, 4}}));
    EXPECT_EQ("1-2 2-3 3-4", Chosen(1, 4, {{1, 2}, {2, 3}, {2, 6}, {6, 9}, {3, 4}}));
    EXPECT_EQ("1-2 2-5", Chosen(1, 4, {{1, 2}, {2, 5}, {2, 3}}));  // no branch arrives: the first
    // Many branches at every version: worked out once per version, not once per route.
    std::vector<std::pair<int32_t, int32_t>> lattice;
    for (int32_t v = 0; v < 200; ++v) {
        lattice.push_back({v, v + 1});
        lattice.push_back({v, v + 2});
    }
    EXPECT_EQ(100u, ShortestPatchPath(FindPatchPaths(0, 200, Steps(lattice)))->size());
}
