#include "patchlib/patch_format.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <set>

#include "patchlib/byte_io.h"
#include "patchlib/delta.h"
#include "patchlib/delta_layout.h"
#include "patchlib/patch_path.h"
#include "patchlib/utf8.h"
#include "patchlib/zlib_stream.h"

namespace {

// Magic, version, flags.
constexpr size_t kFixedHeader = sizeof kPatchMagic + 2;
constexpr size_t kTrailer = 4;
// Smallest record: kind, path length, one path byte, size and hash.
constexpr size_t kMinRecord = 1 + 1 + 1 + 1 + 32;

void WriteText(ByteWriter& writer, const std::string& text) {
    writer.UVar(text.size());
    writer.Bytes(text.data(), text.size());
}

bool ReadText(ByteReader& reader, std::string* text) {
    uint64_t length;
    const uint8_t* bytes;
    if (!reader.UVar(&length) || length > kMaxPatchText || !reader.Span(static_cast<size_t>(length), &bytes)) {
        return false;
    }
    // The texts reach the callback as zero-terminated strings, converted from UTF-8.
    if (memchr(bytes, 0, length)) return false;
    text->assign(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length));
    return IsValidUtf8(*text);
}

bool ReadHash(ByteReader& reader, Sha256Digest* hash) {
    const uint8_t* bytes;
    if (!reader.Span(hash->size(), &bytes)) return false;
    memcpy(hash->data(), bytes, hash->size());
    return true;
}

bool ReadPayload(ByteReader& reader, PatchEntry* entry) {
    uint64_t length;
    if (!reader.UVar(&length) || length > reader.Remaining()) return false;
    entry->payloadSize = static_cast<size_t>(length);
    return reader.Span(entry->payloadSize, &entry->payload);
}

// Version 2 writes a patched file's new size as its difference from the old size
// (mostly 0 or small for a fix).
bool ReadNewSize(ByteReader& reader, uint8_t version, uint64_t oldSize, uint64_t* newSize) {
    if (version == kPatchFormatVersionPlain) return reader.UVar(newSize);
    int64_t change;
    if (!reader.SVar(&change) || oldSize > kDeltaMaxSize || change > static_cast<int64_t>(kDeltaMaxSize) ||
        change < -static_cast<int64_t>(oldSize)) {
        return false;
    }
    *newSize = static_cast<uint64_t>(static_cast<int64_t>(oldSize) + change);
    return true;
}

PatchReadStatus ReadEntry(ByteReader& reader, uint8_t version, PatchEntry* entry) {
    uint8_t kind;
    uint64_t pathLength;
    const uint8_t* path;
    if (!reader.U8(&kind) || !reader.UVar(&pathLength) || pathLength > kMaxPatchPathLength ||
        !reader.Span(static_cast<size_t>(pathLength), &path)) {
        return PatchReadStatus::kMalformed;
    }
    entry->path.assign(reinterpret_cast<const char*>(path), static_cast<size_t>(pathLength));
    entry->kind = static_cast<EntryKind>(kind);
    bool ok;
    switch (entry->kind) {
    case EntryKind::kPatch:
        ok = reader.UVar(&entry->oldSize) && ReadHash(reader, &entry->oldHash) &&
             ReadNewSize(reader, version, entry->oldSize, &entry->newSize) &&
             ReadHash(reader, &entry->newHash) && ReadPayload(reader, entry) &&
             entry->payloadSize >= DeltaHeader::kMinSize;
        break;
    case EntryKind::kAdd:
        ok = reader.UVar(&entry->newSize) && ReadHash(reader, &entry->newHash) && ReadPayload(reader, entry) &&
             PlausibleRawLength(entry->newSize, entry->payloadSize);
        break;
    case EntryKind::kDelete:
        ok = reader.UVar(&entry->oldSize) && ReadHash(reader, &entry->oldHash);
        break;
    default:
        return PatchReadStatus::kMalformed;
    }
    if (!ok || entry->oldSize > kDeltaMaxSize || entry->newSize > kDeltaMaxSize) return PatchReadStatus::kMalformed;
    return IsSafePatchPath(entry->path) ? PatchReadStatus::kOk : PatchReadStatus::kUnsafePath;
}

// A patch record that only version 2 holds: the first byte of a delta names its filter,
// the second how its streams are stored.
bool NeedsVersion2(const PatchEntry& entry) {
    return entry.kind == EntryKind::kPatch &&
           (entry.payloadSize < 2 || entry.payload[0] == static_cast<uint8_t>(DeltaFilter::kExecutable) ||
            entry.payload[1] != static_cast<uint8_t>(StreamCoding::kPlain));
}

// No two records for one file, and no record for a path that another one uses as a
// directory ("a" and "a/b").
bool PathsAreDistinct(const std::vector<PatchEntry>& entries) {
    std::set<std::string> files;
    for (const PatchEntry& entry : entries) {
        if (!files.insert(FoldPatchPath(entry.path)).second) return false;
    }
    for (const std::string& file : files) {
        for (size_t slash = file.find('/'); slash != std::string::npos; slash = file.find('/', slash + 1)) {
            if (files.count(file.substr(0, slash))) return false;
        }
    }
    return true;
}

}  // namespace

std::vector<uint8_t> WritePatch(const PatchContents& contents) {
    const uint8_t version = std::any_of(contents.entries.begin(), contents.entries.end(), NeedsVersion2)
                                ? kPatchFormatVersion
                                : kPatchFormatVersionPlain;
    std::vector<uint8_t> bytes;
    ByteWriter writer(bytes);
    writer.Bytes(kPatchMagic, sizeof kPatchMagic);
    writer.U8(version);
    writer.U8(0);
    writer.UVar(contents.entries.size());
    WriteText(writer, contents.comment);
    WriteText(writer, contents.copyright);
    for (const PatchEntry& entry : contents.entries) {
        writer.U8(static_cast<uint8_t>(entry.kind));
        writer.UVar(entry.path.size());
        writer.Bytes(entry.path.data(), entry.path.size());
        if (entry.kind != EntryKind::kAdd) {
            writer.UVar(entry.oldSize);
            writer.Bytes(entry.oldHash.data(), entry.oldHash.size());
        }
        if (entry.kind == EntryKind::kPatch && version != kPatchFormatVersionPlain) {
            writer.SVar(static_cast<int64_t>(entry.newSize) - static_cast<int64_t>(entry.oldSize));
        } else if (entry.kind != EntryKind::kDelete) {
            writer.UVar(entry.newSize);
        }
        if (entry.kind != EntryKind::kDelete) {
            writer.Bytes(entry.newHash.data(), entry.newHash.size());
            writer.UVar(entry.payloadSize);
            writer.Bytes(entry.payload, entry.payloadSize);
        }
    }
    writer.U32(Crc32(bytes.data(), bytes.size()));
    return bytes;
}

PatchReadStatus ReadPatch(const uint8_t* bytes, size_t size, PatchContents* contents) {
    if (size < kFixedHeader + 3 + kTrailer || memcmp(bytes, kPatchMagic, sizeof kPatchMagic) != 0) {
        return PatchReadStatus::kNotAPatch;
    }
    ByteReader reader(bytes, size - kTrailer);
    uint8_t version, flags;
    reader.Skip(sizeof kPatchMagic);
    if (!reader.U8(&version) || !reader.U8(&flags) || version < kPatchFormatVersionPlain ||
        version > kPatchFormatVersion || flags != 0) {
        return PatchReadStatus::kNotAPatch;
    }
    ByteReader trailer(bytes + size - kTrailer, kTrailer);
    uint32_t crc;
    if (!trailer.U32(&crc) || crc != Crc32(bytes, size - kTrailer)) return PatchReadStatus::kDamaged;
    try {
        contents->entries.clear();
        uint64_t count;
        if (!reader.UVar(&count) || count > kMaxPatchEntries || !ReadText(reader, &contents->comment) ||
            !ReadText(reader, &contents->copyright) || count > reader.Remaining() / kMinRecord) {
            return PatchReadStatus::kMalformed;
        }
        contents->entries.resize(static_cast<size_t>(count));
        for (PatchEntry& entry : contents->entries) {
            const PatchReadStatus status = ReadEntry(reader, version, &entry);
            if (status != PatchReadStatus::kOk) return status;
            if (version == kPatchFormatVersionPlain && NeedsVersion2(entry)) {
                return PatchReadStatus::kMalformed;
            }
        }
        if (!reader.AtEnd()) return PatchReadStatus::kMalformed;
        return PathsAreDistinct(contents->entries) ? PatchReadStatus::kOk : PatchReadStatus::kDuplicatePath;
    } catch (const std::bad_alloc&) {
        return PatchReadStatus::kMalformed;
    }
}
