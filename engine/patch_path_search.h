// The search for a chain of patch steps from the installed version toward the wanted one.
// Used by the patch decision (is there a path at all) and by the patch run (which files to
// apply, in which order).
#pragma once
#include <cstdint>
#include <vector>

#include "common/image_model.h"

// Steps in the order in which they are applied.
using PatchPath = std::vector<ImagePatchStep>;

// One candidate for every step of the image, in image order, that begins at fromV
// (whatever its own direction), extended from where that step ends. The direction of the
// search is ascending when fromV < toV, descending otherwise; an extension takes only
// steps that go that way and stops at toV, or where no such step leaves the version it
// reached: a candidate counts even when it ends short of toV.
//
// Where several steps leave the version an extension has reached, the candidate follows
// one of them only, so that it never holds a step of a branch that it left: the branch
// whose rest reaches toV in the fewest steps (the first in image order on ties), or, when
// no branch reaches toV, the first in image order.
std::vector<PatchPath> FindPatchPaths(int32_t fromV, int32_t toV, const std::vector<ImagePatchStep>& steps);

// The candidate with the fewest steps, the first one on ties; null when there is none.
const PatchPath* ShortestPatchPath(const std::vector<PatchPath>& candidates);

// The path that a patch run applies: the shortest candidate (the first on ties) whose every
// step goes from where the one before it ended toward toV without passing it, and whose
// last step ends exactly at toV. Null when no candidate does: a run never ends on another
// version than the one asked for, and never goes the other way on its road (a step back
// from a newer version is no road to a newer one still).
const PatchPath* UsablePatchPath(const std::vector<PatchPath>& candidates, int32_t fromV, int32_t toV);
