// Applies a patch of one record to content in memory, without any tree: for makepatch
// --apply-file (and so the benchmark), where the old file must stay as it is.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "patchlib/delta.h"
#include "patchlib/patch_codes.h"

// old: the old content (ignored for an added file). The new content goes to result in
// pieces as it is made, so it need never be held whole; it is the record's new content
// only when this returns PATCHLIB_OK, and the caller keeps it only then. name gets the
// record's name. Returns a PATCHLIB_ code: INVALID_PATCH when the patch is not one
// record of kind patch or add (or its delta is damaged), WRONG_VERSION when old is not
// the content the patch was made from, BAD_RESULT when the result fails its checksum,
// NO_MEMORY when memory runs out or result refuses a piece.
uint32_t ApplyPatchToSink(const uint8_t* patch, size_t size, const std::vector<uint8_t>& old, DeltaSink* result,
                          std::string* name);
// The same with the new content kept whole in result.
uint32_t ApplyPatchToContent(const uint8_t* patch, size_t size, const std::vector<uint8_t>& old,
                             std::vector<uint8_t>* result, std::string* name);
