#include "patchlib/file_apply.h"

#include <new>

#include "patchlib/content_sink.h"
#include "patchlib/patch_format.h"
#include "patchlib/sha256.h"

uint32_t ApplyPatchToSink(const uint8_t* patch, size_t size, const std::vector<uint8_t>& old, DeltaSink* result,
                          std::string* name) {
    try {
        PatchContents contents;
        if (ReadPatch(patch, size, &contents) != PatchReadStatus::kOk || contents.entries.size() != 1) {
            return PATCHLIB_ERR_INVALID_PATCH;
        }
        const PatchEntry& entry = contents.entries[0];
        *name = entry.path;
        CheckingSink checked(result);
        DeltaStatus status;
        if (entry.kind == EntryKind::kPatch) {
            if (old.size() != entry.oldSize || Sha256::Of(old.data(), old.size()) != entry.oldHash) {
                return PATCHLIB_ERR_WRONG_VERSION;
            }
            status = DecodeDelta(old.data(), old.size(), entry.payload, entry.payloadSize, entry.newSize, &checked);
        } else if (entry.kind == EntryKind::kAdd) {
            status = InflateToSink(entry.payload, entry.payloadSize, entry.newSize, &checked);
        } else {
            return PATCHLIB_ERR_INVALID_PATCH;
        }
        switch (status) {
        case DeltaStatus::kOk: break;
        case DeltaStatus::kNoMemory: return PATCHLIB_ERR_NO_MEMORY;
        default: return PATCHLIB_ERR_INVALID_PATCH;
        }
        return checked.Matches(entry.newSize, entry.newHash) ? PATCHLIB_OK : PATCHLIB_ERR_BAD_RESULT;
    } catch (const std::bad_alloc&) {
        return PATCHLIB_ERR_NO_MEMORY;
    }
}

uint32_t ApplyPatchToContent(const uint8_t* patch, size_t size, const std::vector<uint8_t>& old,
                             std::vector<uint8_t>* result, std::string* name) {
    // No room taken ahead: the size is the record's, which only ApplyPatchToSink reads.
    // Running out there is NO_MEMORY.
    VectorSink sink(result, 0);
    return ApplyPatchToSink(patch, size, old, &sink, name);
}
