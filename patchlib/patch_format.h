// The patch file: header, optional comment and copyright texts, one record per file
// (patch, add or delete) and a CRC-32 trailer over everything before it. Byte layout
// in FORMAT.md.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "patchlib/sha256.h"

constexpr uint8_t kPatchMagic[8] = {'H', 'V', 'P', 'A', 'T', 'C', 'H', 0x1A};
// Version 2 brought the executable transform, deltas whose small streams may be stored
// as they are, and the new size of a patched file written as its difference from the
// old size. A patch of added and deleted files only is written as version 1, which
// every applier reads.
constexpr uint8_t kPatchFormatVersion = 2;
constexpr uint8_t kPatchFormatVersionPlain = 1;
constexpr size_t kMaxPatchText = 65535;     // comment, copyright
constexpr uint32_t kMaxPatchEntries = 1000000;

enum class EntryKind : uint8_t {
    kPatch = 1,   // old content turned into new content by a delta
    kAdd = 2,     // new file, its whole content deflated
    kDelete = 3,  // file removed
};

struct PatchEntry {
    EntryKind kind = EntryKind::kAdd;
    std::string path;  // relative, '/' separated
    uint64_t oldSize = 0;
    Sha256Digest oldHash{};  // kPatch, kDelete
    uint64_t newSize = 0;
    Sha256Digest newHash{};  // kPatch, kAdd
    // kPatch: the delta; kAdd: the deflated content. Points into the bytes the patch
    // was read from (reader) or the caller's buffer (writer).
    const uint8_t* payload = nullptr;
    size_t payloadSize = 0;
};

// Every text is UTF-8.
struct PatchContents {
    std::string comment;
    std::string copyright;
    std::vector<PatchEntry> entries;
};

// Serialises a patch, as the lowest version that holds it. Paths are written as given (makepatch checks its own), so tests
// can also build hostile patches.
std::vector<uint8_t> WritePatch(const PatchContents& contents);

enum class PatchReadStatus {
    kOk,
    kNotAPatch,     // wrong magic, unknown version or flags
    kDamaged,       // the trailer checksum does not match (a damaged or cut-off file)
    kMalformed,     // lengths, kinds or texts out of bounds, or a text that is not UTF-8
    kUnsafePath,    // a path is not UTF-8, could leave the target directory or names a device
    kDuplicatePath, // two records for one file, or a file that is also a directory
};

// Parses bytes (which must outlive the result: payloads point into them). Checks
// the trailer first, then every length against what is left, every path with
// IsSafePatchPath, and that no two records name the same file (ignoring case) and
// no record names a directory of another. Comment and copyright must be UTF-8. A
// version 1 patch may hold no delta of the executable transform.
PatchReadStatus ReadPatch(const uint8_t* bytes, size_t size, PatchContents* contents);
