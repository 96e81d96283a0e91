#include "patchlib/patch_maker.h"

#include <algorithm>
#include <map>
#include <memory>
#include <new>

#include "patchlib/patch_format.h"
#include "patchlib/patch_path.h"
#include "patchlib/sha256.h"
#include "patchlib/utf8.h"
#include "patchlib/zlib_stream.h"

namespace {

struct Pending {
    PatchEntry entry;
    std::vector<uint8_t> payload;
};

MakeResult Fail(MakeStatus status, const std::string& detail) {
    MakeResult result;
    result.status = status;
    result.detail = detail;
    return result;
}

// One entry for oldContent -> newContent (or an added file when oldContent is null).
MakeResult Describe(const std::vector<uint8_t>* oldContent, const std::vector<uint8_t>& newContent,
                    const std::string& name, const MakeOptions& options, Pending* pending) {
    if (newContent.size() > kDeltaMaxSize || (oldContent && oldContent->size() > kDeltaMaxSize)) {
        return Fail(MakeStatus::kTooLarge, name);
    }
    PatchEntry& entry = pending->entry;
    entry.path = name;
    entry.newSize = newContent.size();
    entry.newHash = Sha256::Of(newContent.data(), newContent.size());
    if (oldContent) {
        entry.kind = EntryKind::kPatch;
        entry.oldSize = oldContent->size();
        entry.oldHash = Sha256::Of(oldContent->data(), oldContent->size());
        DeltaOptions delta = options.delta;
        if (options.format == kPatchFormatVersionPlain) {
            delta.executables = false;
            delta.compact = false;
        }
        if (!EncodeDelta(oldContent->data(), oldContent->size(), newContent.data(), newContent.size(),
                         &pending->payload, delta)) {
            return Fail(MakeStatus::kFailed, name + ": the delta could not be made");
        }
        if (options.verify) {
            std::vector<uint8_t> check;
            if (DecodeDelta(oldContent->data(), oldContent->size(), pending->payload.data(), pending->payload.size(),
                            newContent.size(), &check) != DeltaStatus::kOk ||
                check != newContent) {
                return Fail(MakeStatus::kFailed, name + ": the delta does not reproduce the new file");
            }
        }
    } else {
        entry.kind = EntryKind::kAdd;
        if (!DeflateBytes(newContent.data(), newContent.size(), options.delta.level, &pending->payload)) {
            return Fail(MakeStatus::kFailed, name + ": out of memory");
        }
    }
    return MakeResult();
}

MakeResult Assemble(std::vector<Pending>& pending, const MakeOptions& options, std::vector<uint8_t>* patch) {
    if (options.comment.size() > kMaxPatchText || options.copyright.size() > kMaxPatchText) {
        return Fail(MakeStatus::kTooLarge, "comment or copyright text");
    }
    if (options.comment.find('\0') != std::string::npos || options.copyright.find('\0') != std::string::npos) {
        return Fail(MakeStatus::kFailed, "comment or copyright text holds a zero byte");
    }
    if (!IsValidUtf8(options.comment) || !IsValidUtf8(options.copyright)) {
        return Fail(MakeStatus::kFailed, "comment or copyright text is not UTF-8");
    }
    PatchContents contents;
    contents.comment = options.comment;
    contents.copyright = options.copyright;
    for (Pending& p : pending) {
        p.entry.payload = p.payload.data();
        p.entry.payloadSize = p.payload.size();
        contents.entries.push_back(p.entry);
    }
    *patch = WritePatch(contents);
    // Whatever the reader would refuse must not leave here.
    PatchContents check;
    switch (ReadPatch(patch->data(), patch->size(), &check)) {
    case PatchReadStatus::kOk: return MakeResult();
    case PatchReadStatus::kUnsafePath: return Fail(MakeStatus::kUnsafeName, "a file name");
    case PatchReadStatus::kDuplicatePath: return Fail(MakeStatus::kNameConflict, "two names for one file");
    default: return Fail(MakeStatus::kFailed, "the patch does not read back");
    }
}

}  // namespace

MakeResult MakeTreePatch(TreeFileSystem& oldTree, TreeFileSystem& newTree, const MakeOptions& options,
                         std::vector<uint8_t>* patch) {
    try {
        std::vector<std::string> oldFiles, newFiles;
        if (oldTree.Stat("", nullptr) != TreeFileSystem::Kind::kDirectory || !oldTree.ListFiles(&oldFiles)) {
            return Fail(MakeStatus::kOldUnreadable, "");
        }
        if (newTree.Stat("", nullptr) != TreeFileSystem::Kind::kDirectory || !newTree.ListFiles(&newFiles)) {
            return Fail(MakeStatus::kNewUnreadable, "");
        }
        // Folded name -> name as spelt in each tree.
        std::map<std::string, std::string> oldByKey, newByKey;
        for (const std::string& name : oldFiles) {
            if (!IsSafePatchPath(name)) return Fail(MakeStatus::kUnsafeName, name);
            if (!oldByKey.emplace(FoldPatchPath(name), name).second) return Fail(MakeStatus::kNameConflict, name);
        }
        for (const std::string& name : newFiles) {
            if (!IsSafePatchPath(name)) return Fail(MakeStatus::kUnsafeName, name);
            if (!newByKey.emplace(FoldPatchPath(name), name).second) return Fail(MakeStatus::kNameConflict, name);
        }
        // A file in one tree that is a directory in the other cannot be carried: its
        // deletion and the additions below it would name one path twice.
        for (const auto& [key, name] : newByKey) {
            for (size_t slash = key.find('/'); slash != std::string::npos; slash = key.find('/', slash + 1)) {
                if (oldByKey.count(key.substr(0, slash))) return Fail(MakeStatus::kNameConflict, name);
            }
        }
        for (const auto& [key, name] : oldByKey) {
            for (size_t slash = key.find('/'); slash != std::string::npos; slash = key.find('/', slash + 1)) {
                if (newByKey.count(key.substr(0, slash))) return Fail(MakeStatus::kNameConflict, name);
            }
        }

        MakeResult totals;
        std::vector<Pending> pending;
        std::map<std::string, int> order;  // every name once, sorted
        for (const auto& item : oldByKey) order[item.first] |= 1;
        for (const auto& item : newByKey) order[item.first] |= 2;
        for (const auto& [key, where] : order) {
            std::vector<uint8_t> oldContent, newContent;
            if (where & 1) {
                if (!oldTree.ReadFile(oldByKey[key], kDeltaMaxSize, &oldContent)) {
                    return Fail(MakeStatus::kOldUnreadable, oldByKey[key]);
                }
            }
            if (where & 2) {
                if (!newTree.ReadFile(newByKey[key], kDeltaMaxSize, &newContent)) {
                    return Fail(MakeStatus::kNewUnreadable, newByKey[key]);
                }
            }
            Pending item;
            if (where == 1) {
                item.entry.kind = EntryKind::kDelete;
                item.entry.path = oldByKey[key];
                item.entry.oldSize = oldContent.size();
                item.entry.oldHash = Sha256::Of(oldContent.data(), oldContent.size());
                ++totals.deleted;
            } else if (where == 3 && oldContent == newContent) {
                ++totals.unchanged;
                continue;
            } else {
                const MakeResult one =
                    Describe(where == 3 ? &oldContent : nullptr, newContent, newByKey[key], options, &item);
                if (one.status != MakeStatus::kOk) return one;
                ++(where == 3 ? totals.patched : totals.added);
            }
            pending.push_back(std::move(item));
        }
        const MakeResult assembled = Assemble(pending, options, patch);
        if (assembled.status != MakeStatus::kOk) return assembled;
        return totals;
    } catch (const std::bad_alloc&) {
        return Fail(MakeStatus::kFailed, "out of memory");
    }
}

MakeResult MakeFilePatch(const std::vector<uint8_t>* oldContent, const std::vector<uint8_t>& newContent,
                         const std::string& name, const MakeOptions& options, std::vector<uint8_t>* patch) {
    try {
        if (!IsSafePatchPath(name)) return Fail(MakeStatus::kUnsafeName, name);
        std::vector<Pending> pending(1);
        MakeResult result = Describe(oldContent, newContent, name, options, &pending[0]);
        if (result.status != MakeStatus::kOk) return result;
        result = Assemble(pending, options, patch);
        if (result.status != MakeStatus::kOk) return result;
        ++(oldContent ? result.patched : result.added);
        return result;
    } catch (const std::bad_alloc&) {
        return Fail(MakeStatus::kFailed, "out of memory");
    }
}
