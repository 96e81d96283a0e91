// Applies a patch of one record to content in memory, without any tree: for makepatch
// --apply-file (and so the benchmark), where the old file must stay as it is.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "patchlib/patch_codes.h"

// old: the old content (ignored for an added file). On success result holds the new
// content and name the record's name. Returns a PATCHLIB_ code: INVALID_PATCH when
// the patch is not one record of kind patch or add, WRONG_VERSION when old is not the
// content the patch was made from, BAD_RESULT when the result fails its checksum.
uint32_t ApplyPatchToContent(const uint8_t* patch, size_t size, const std::vector<uint8_t>& old,
                             std::vector<uint8_t>* result, std::string* name);
