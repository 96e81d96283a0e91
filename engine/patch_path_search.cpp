#include "engine/patch_path_search.h"

#include <map>

namespace {

// The extension of candidates from any version, worked out once per version: within
// one search the best continuation from a version does not depend on how the version was
// reached, since every step of an extension moves the version the same way.
class PathExtender {
public:
    PathExtender(int32_t toV, bool ascending, const std::vector<ImagePatchStep>& steps)
        : toV_(toV), ascending_(ascending), steps_(steps) {}

    struct Rest {
        std::vector<size_t> steps;  // indexes into the image's steps, in order
        bool reachesTarget = false;
    };

    const Rest& From(int32_t version) {
        auto known = rests_.find(version);
        if (known != rests_.end()) return known->second;
        Rest rest;
        if (version == toV_) {
            rest.reachesTarget = true;
        } else {
            bool chosen = false;
            for (size_t i = 0; i < steps_.size(); ++i) {
                if (!Qualifies(steps_[i], version)) continue;
                const Rest& after = From(steps_[i].toVersion);
                // A later branch replaces the chosen one only when it reaches the target
                // and the chosen one does not, or reaches it in fewer steps.
                const bool better = !chosen || (after.reachesTarget && (!rest.reachesTarget ||
                                                                        after.steps.size() + 1 < rest.steps.size()));
                if (!better) continue;
                chosen = true;
                rest.reachesTarget = after.reachesTarget;
                rest.steps.assign(1, i);
                rest.steps.insert(rest.steps.end(), after.steps.begin(), after.steps.end());
            }
        }
        return rests_.emplace(version, std::move(rest)).first->second;
    }

private:
    // Begins at version and goes in the search direction; a step that keeps the version
    // never qualifies.
    bool Qualifies(const ImagePatchStep& step, int32_t version) const {
        if (step.fromVersion != version) return false;
        return ascending_ ? step.toVersion > step.fromVersion : step.toVersion < step.fromVersion;
    }

    int32_t toV_;
    bool ascending_;
    const std::vector<ImagePatchStep>& steps_;
    std::map<int32_t, Rest> rests_;
};

}  // namespace

std::vector<PatchPath> FindPatchPaths(int32_t fromV, int32_t toV, const std::vector<ImagePatchStep>& steps) {
    std::vector<PatchPath> candidates;
    PathExtender extender(toV, fromV < toV, steps);
    for (const ImagePatchStep& start : steps) {
        if (start.fromVersion != fromV) continue;
        PatchPath path(1, start);
        // An extension moves away from fromV in one direction, so it never meets the start
        // step again, which the extension must not take.
        for (size_t index : extender.From(start.toVersion).steps) path.push_back(steps[index]);
        candidates.push_back(std::move(path));
    }
    return candidates;
}

const PatchPath* ShortestPatchPath(const std::vector<PatchPath>& candidates) {
    const PatchPath* shortest = nullptr;
    for (const PatchPath& candidate : candidates) {
        if (!shortest || candidate.size() < shortest->size()) shortest = &candidate;
    }
    return shortest;
}

namespace {

// Every step moves from fromV toward toV without passing it, and the last one ends there.
bool LeadsStraightTo(const PatchPath& path, int32_t fromV, int32_t toV) {
    if (path.empty() || path.back().toVersion != toV) return false;
    const bool up = fromV < toV;
    int32_t at = fromV;
    for (const ImagePatchStep& step : path) {
        if (step.fromVersion != at) return false;
        const bool towardTarget = up ? (step.toVersion > at && step.toVersion <= toV)
                                     : (step.toVersion < at && step.toVersion >= toV);
        if (!towardTarget) return false;
        at = step.toVersion;
    }
    return true;
}

}  // namespace

const PatchPath* UsablePatchPath(const std::vector<PatchPath>& candidates, int32_t fromV, int32_t toV) {
    const PatchPath* shortest = nullptr;
    for (const PatchPath& candidate : candidates) {
        if (!LeadsStraightTo(candidate, fromV, toV)) continue;
        if (!shortest || candidate.size() < shortest->size()) shortest = &candidate;
    }
    return shortest;
}
