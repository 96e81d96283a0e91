#include "patchlib/journal.h"

#include <cstring>

#include "patchlib/byte_io.h"
#include "patchlib/delta.h"
#include "patchlib/patch_path.h"
#include "patchlib/zlib_stream.h"

namespace {

// Magic, version, state.
constexpr size_t kFixedHeader = sizeof kJournalMagic + 2;
constexpr size_t kTrailer = 4;
// A name of ours is a path with its suffix and a number: "<path>.hvnew12".
constexpr size_t kMaxNameLength = kMaxPatchPathLength + 16;

void WriteName(ByteWriter& writer, const std::string& name) {
    writer.UVar(name.size());
    writer.Bytes(name.data(), name.size());
}

bool ReadName(ByteReader& reader, std::string* name) {
    uint64_t length;
    const uint8_t* bytes;
    if (!reader.UVar(&length) || length > kMaxNameLength || !reader.Span(static_cast<size_t>(length), &bytes)) {
        return false;
    }
    name->assign(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length));
    return true;
}

// Whether name is path, then tag, then a number without leading zeros: only names the
// applier chose itself, so a journal can never make it touch one of the tree's files.
bool IsOwnName(const std::string& name, const std::string& path, const char* tag) {
    const size_t tagLength = strlen(tag);
    if (name.size() <= path.size() + tagLength || name.compare(0, path.size(), path) != 0 ||
        name.compare(path.size(), tagLength, tag) != 0) {
        return false;
    }
    const std::string number = name.substr(path.size() + tagLength);
    if (number.size() > 10 || (number.size() > 1 && number[0] == '0')) return false;
    for (char c : number) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

bool ReadStep(ByteReader& reader, JournalStep* step) {
    uint8_t kind;
    if (!reader.U8(&kind) || !ReadName(reader, &step->path) || !IsSafePatchPath(step->path)) return false;
    step->kind = static_cast<JournalStepKind>(kind);
    const bool replaces = step->kind == JournalStepKind::kReplace;
    bool ok;
    switch (step->kind) {
    case JournalStepKind::kReplace:
    case JournalStepKind::kAdd:
        ok = ReadName(reader, &step->temp) && IsOwnName(step->temp, step->path, ".hvnew");
        if (ok && replaces) {
            ok = ReadName(reader, &step->backup) && IsOwnName(step->backup, step->path, ".hvold") &&
                 ReadName(reader, &step->aside) && IsOwnName(step->aside, step->path, ".hvold") &&
                 step->aside != step->backup;
        }
        if (ok) {
            const uint8_t* hash;
            ok = reader.UVar(&step->newSize) && step->newSize <= kDeltaMaxSize && reader.Span(step->newHash.size(), &hash);
            if (ok) memcpy(step->newHash.data(), hash, step->newHash.size());
        }
        return ok;
    case JournalStepKind::kDelete:
        return ReadName(reader, &step->backup) && IsOwnName(step->backup, step->path, ".hvold");
    }
    return false;
}

}  // namespace

std::vector<uint8_t> WriteJournal(const Journal& journal) {
    std::vector<uint8_t> bytes;
    ByteWriter writer(bytes);
    writer.Bytes(kJournalMagic, sizeof kJournalMagic);
    writer.U8(kJournalFormatVersion);
    writer.U8(static_cast<uint8_t>(journal.state));
    writer.UVar(journal.steps.size());
    for (const JournalStep& step : journal.steps) {
        writer.U8(static_cast<uint8_t>(step.kind));
        WriteName(writer, step.path);
        if (step.kind != JournalStepKind::kDelete) WriteName(writer, step.temp);
        if (step.kind != JournalStepKind::kAdd) WriteName(writer, step.backup);
        if (step.kind == JournalStepKind::kReplace) WriteName(writer, step.aside);
        if (step.kind != JournalStepKind::kDelete) {
            writer.UVar(step.newSize);
            writer.Bytes(step.newHash.data(), step.newHash.size());
        }
    }
    writer.UVar(journal.directories.size());
    for (const std::string& directory : journal.directories) WriteName(writer, directory);
    writer.U32(Crc32(bytes.data(), bytes.size()));
    return bytes;
}

bool ReadJournal(const uint8_t* bytes, size_t size, Journal* journal) {
    if (size < kFixedHeader + kTrailer) return false;
    ByteReader trailer(bytes + size - kTrailer, kTrailer);
    uint32_t crc;
    if (!trailer.U32(&crc) || crc != Crc32(bytes, size - kTrailer)) return false;
    if (memcmp(bytes, kJournalMagic, sizeof kJournalMagic) != 0) return false;
    ByteReader reader(bytes + sizeof kJournalMagic, size - sizeof kJournalMagic - kTrailer);
    uint8_t version, state;
    if (!reader.U8(&version) || version != kJournalFormatVersion || !reader.U8(&state) ||
        (state != static_cast<uint8_t>(JournalState::kPrepare) && state != static_cast<uint8_t>(JournalState::kCommit))) {
        return false;
    }
    journal->state = static_cast<JournalState>(state);
    journal->steps.clear();
    journal->directories.clear();
    // Every count is checked against the bytes left (a step takes at least 3, a
    // directory 2), so no count makes the reader allocate more than the journal holds.
    uint64_t count;
    if (!reader.UVar(&count) || count > reader.Remaining() / 3) return false;
    for (uint64_t i = 0; i < count; ++i) {
        JournalStep step;
        if (!ReadStep(reader, &step)) return false;
        journal->steps.push_back(std::move(step));
    }
    if (!reader.UVar(&count) || count > reader.Remaining() / 2) return false;
    for (uint64_t i = 0; i < count; ++i) {
        std::string directory;
        if (!ReadName(reader, &directory) || !IsSafePatchPath(directory)) return false;
        journal->directories.push_back(std::move(directory));
    }
    return reader.AtEnd();
}
