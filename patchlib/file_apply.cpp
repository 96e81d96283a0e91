#include "patchlib/file_apply.h"

#include <new>

#include "patchlib/delta.h"
#include "patchlib/patch_format.h"
#include "patchlib/sha256.h"
#include "patchlib/zlib_stream.h"

uint32_t ApplyPatchToContent(const uint8_t* patch, size_t size, const std::vector<uint8_t>& old,
                             std::vector<uint8_t>* result, std::string* name) {
    try {
        PatchContents contents;
        if (ReadPatch(patch, size, &contents) != PatchReadStatus::kOk || contents.entries.size() != 1) {
            return PATCHLIB_ERR_INVALID_PATCH;
        }
        const PatchEntry& entry = contents.entries[0];
        *name = entry.path;
        if (entry.kind == EntryKind::kPatch) {
            if (old.size() != entry.oldSize || Sha256::Of(old.data(), old.size()) != entry.oldHash) {
                return PATCHLIB_ERR_WRONG_VERSION;
            }
            switch (DecodeDelta(old.data(), old.size(), entry.payload, entry.payloadSize, entry.newSize, result)) {
            case DeltaStatus::kOk: break;
            case DeltaStatus::kNoMemory: return PATCHLIB_ERR_NO_MEMORY;
            default: return PATCHLIB_ERR_INVALID_PATCH;
            }
        } else if (entry.kind == EntryKind::kAdd) {
            if (!InflateBytes(entry.payload, entry.payloadSize, entry.newSize, result)) return PATCHLIB_ERR_INVALID_PATCH;
        } else {
            return PATCHLIB_ERR_INVALID_PATCH;
        }
        if (Sha256::Of(result->data(), result->size()) != entry.newHash) return PATCHLIB_ERR_BAD_RESULT;
        return PATCHLIB_OK;
    } catch (const std::bad_alloc&) {
        return PATCHLIB_ERR_NO_MEMORY;
    }
}
