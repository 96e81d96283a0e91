// The executable transform: synthetic programs of both machines changed as a new build
// changes them round-trip through a smaller delta; damaged maps and payloads are refused;
// files that are no executables, or whose references did not move, keep the plain delta;
// patches of format 1 still apply.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "patchlib/address_map.h"
#include "patchlib/delta.h"
#include "patchlib/delta_layout.h"
#include "patchlib/file_apply.h"
#include "patchlib/patch_format.h"
#include "patchlib/patch_maker.h"
#include "patchlib/executable_layout.h"
#include "patchlib/executable_transform.h"
#include "patchlib/std_tree_fs.h"
#include "patchlib/tests/synthetic_pe.h"
#include "patchlib/tests/test_data.h"
#include "patchlib/tree_apply.h"
#include "patchlib/zlib_stream.h"

#include <unistd.h>

namespace {

std::vector<uint8_t> Encode(const std::vector<uint8_t>& oldData, const std::vector<uint8_t>& newData,
                            bool executables) {
    DeltaOptions options;
    options.executables = executables;
    std::vector<uint8_t> payload;
    EXPECT_TRUE(EncodeDelta(oldData.data(), oldData.size(), newData.data(), newData.size(), &payload, options));
    return payload;
}

DeltaStatus Decode(const std::vector<uint8_t>& oldData, const std::vector<uint8_t>& payload, size_t newSize,
                   std::vector<uint8_t>* out) {
    return DecodeDelta(oldData.data(), oldData.size(), payload.data(), payload.size(), newSize, out);
}

uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int k = 0; k < 4; ++k) b[at + k] = static_cast<uint8_t>(v >> (8 * k));
}

std::vector<uint8_t> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The next build: one function grew (everything after it moved), two swapped places,
// an import came first (every import slot moved); and with growData .data grew by more
// than a page (the import table moved, and there is new data).
SyntheticProgram NextBuild(SyntheticProgram p, bool growData = true) {
    p.bodySizes[40] += 37;
    std::swap(p.order[10], p.order[150]);
    p.imports.insert(p.imports.begin(), "GetLastError");
    if (growData) p.dataSize += 0x1100;
    return p;
}

}  // namespace

TEST(ExecutableTransform, ChangedProgramsRoundTripThroughASmallerDelta) {
    const struct {
        const char* name;
        SyntheticProgram (*make)(int count);
        ExecutableMachine machine;
    } kinds[] = {
        {"PE i386", [](int count) { return MakeProgram(false, count); }, ExecutableMachine::kI386},
        {"PE x86-64", [](int count) { return MakeProgram(true, count); }, ExecutableMachine::kAmd64},
        {"ELF x86-64", MakeElfProgram, ExecutableMachine::kAmd64},
    };
    for (const auto& kind : kinds) {
        SCOPED_TRACE(kind.name);
        const SyntheticProgram first = kind.make(300);
        const std::vector<uint8_t> oldData = BuildPe(first);
        std::vector<uint8_t> rebuilt;
        for (const bool growData : {false, true}) {
            const std::vector<uint8_t> newData = BuildPe(NextBuild(first, growData));
            ExecutableLayout layout;
            ASSERT_TRUE(ReadExecutableLayout(newData.data(), newData.size(), &layout));
            ASSERT_EQ(layout.machine, kind.machine);

            const std::vector<uint8_t> plain = Encode(oldData, newData, false);
            const std::vector<uint8_t> transformed = Encode(oldData, newData, true);
            ASSERT_EQ(plain[0], static_cast<uint8_t>(DeltaFilter::kNone));
            ASSERT_EQ(transformed[0], static_cast<uint8_t>(DeltaFilter::kExecutable));
            // Nearly every call, pointer, address and import slot moved; predicted, they
            // cost nothing. New data and the new relocation table remain.
            EXPECT_LT(transformed.size() * (growData ? 5 : 3), plain.size() * (growData ? 4 : 2))
                << transformed.size() << " against " << plain.size();
            ASSERT_EQ(Decode(oldData, transformed, newData.size(), &rebuilt), DeltaStatus::kOk);
            EXPECT_TRUE(rebuilt == newData);
        }

        // A file of many slices: the fixes are laid over each slice as it is read.
        const SyntheticProgram big = kind.make(6000);
        const std::vector<uint8_t> bigOld = BuildPe(big), bigNew = BuildPe(NextBuild(big));
        const std::vector<uint8_t> bigPayload = Encode(bigOld, bigNew, true);
        ASSERT_EQ(bigPayload[0], static_cast<uint8_t>(DeltaFilter::kExecutable));
        ASSERT_GT(bigNew.size(), size_t{512 * 1024});
        ASSERT_EQ(Decode(bigOld, bigPayload, bigNew.size(), &rebuilt), DeltaStatus::kOk);
        EXPECT_TRUE(rebuilt == bigNew);
    }
}

TEST(ExecutableTransform, ElfFilesAreReadAndDamagedOnesRefused) {
    const std::vector<uint8_t> image = BuildPe(MakeElfProgram(40));
    ExecutableLayout layout;
    ASSERT_TRUE(ReadExecutableLayout(image.data(), image.size(), &layout));
    ASSERT_EQ(layout.sections.size(), 4u);  // the name table is not mapped
    EXPECT_TRUE(layout.sections[0].Executable());
    EXPECT_FALSE(layout.sections[1].Executable());
    EXPECT_EQ(layout.sections[3].name, 0x79642E616C65722EULL);  // ".rela.dy", the first eight bytes
    ASSERT_FALSE(layout.absoluteAddresses.empty());
    for (const uint32_t offset : layout.absoluteAddresses) {
        EXPECT_LT(Get32(image, offset), layout.sizeOfImage) << offset;  // each place holds its address
    }
    for (size_t cut = 0; cut < image.size(); cut += 1 + cut / 8) {
        ExecutableLayout untouched;
        EXPECT_FALSE(ReadExecutableLayout(image.data(), cut, &untouched)) << cut;
        EXPECT_TRUE(untouched.sections.empty());
    }
    const size_t headers = static_cast<size_t>(Get32(image, 0x28));
    const struct {
        size_t at;
        uint32_t value;
        unsigned width;
    } damage[] = {
        {4, 1, 1},                           // 32-bit
        {5, 2, 1},                           // big-endian
        {18, 3, 2},                          // i386
        {0x3A, 56, 2},                       // section header size
        {headers + 64 + 24, 0x7FFFFFF0, 4},  // .text's data past the end
        {headers + 64 + 16 + 4, 1, 4},       // .text above 4 GiB
        // Sections out of order: .data over .text in the address space, then in the file.
        {headers + 2 * 64 + 16, Get32(image, headers + 64 + 16), 4},
        {headers + 2 * 64 + 24, Get32(image, headers + 64 + 24), 4},
    };
    for (const auto& d : damage) {
        std::vector<uint8_t> damaged = image;
        for (unsigned k = 0; k < d.width; ++k) damaged[d.at + k] = static_cast<uint8_t>(d.value >> (8 * k));
        EXPECT_FALSE(ReadExecutableLayout(damaged.data(), damaged.size(), &layout)) << d.at;
    }
    // A real one: this test program.
    const std::vector<uint8_t> self = ReadAll("/proc/self/exe");
    ASSERT_TRUE(ReadExecutableLayout(self.data(), self.size(), &layout));
    EXPECT_TRUE(std::any_of(layout.sections.begin(), layout.sections.end(),
                            [](const ExecutableSection& s) { return s.Executable(); }));
}

TEST(ExecutableTransform, NoFileGetsWorse) {
    const SyntheticProgram program = MakeProgram(true, 200);
    const std::vector<uint8_t> image = BuildPe(program);
    std::vector<uint8_t> text(image.size(), 'x');
    std::vector<uint8_t> touched = image;
    touched[touched.size() - 0x300] ^= 0xFF;
    const struct {
        const char* name;
        std::vector<uint8_t> oldData, newData;
    } cases[] = {
        {"an executable that became text", image, text},
        {"text that became an executable", text, image},
        {"one byte of an executable changed", image, touched},
        {"i386 against x86-64", BuildPe(MakeProgram(false, 200)), image},
    };
    for (const auto& c : cases) {
        const std::vector<uint8_t> plain = Encode(c.oldData, c.newData, false);
        const std::vector<uint8_t> chosen = Encode(c.oldData, c.newData, true);
        EXPECT_LE(chosen.size(), plain.size()) << c.name;
        std::vector<uint8_t> rebuilt;
        ASSERT_EQ(Decode(c.oldData, chosen, c.newData.size(), &rebuilt), DeltaStatus::kOk) << c.name;
        EXPECT_TRUE(rebuilt == c.newData) << c.name;
    }
}

TEST(ExecutableTransform, TheIndexedMapAgreesWithItsSegments) {
    // Segments of every size, some sharing a page, some spanning many, with gaps; and a
    // map spanning most of the address space (pages of more than 4 KiB).
    for (const uint32_t stride : {0x10u, 0x1000u, 0x10000000u}) {
        AddressMap map;
        uint64_t at = 0x400;
        for (uint32_t k = 0; k < 40; ++k) {
            const uint64_t length = 1 + (k * 2654435761u) % (uint64_t{stride} * 3);
            if (at + length > 0xFFFFFFFFu) break;
            map.segments.push_back({static_cast<uint32_t>(at), static_cast<uint32_t>(length), static_cast<int64_t>(k) - 20});
            at += length + (k % 3) * uint64_t{stride};
        }
        AddressMap indexed = map;
        indexed.Index();
        for (uint64_t a = 0; a < 0x100000000ull; a += stride / 16 + (a % 7)) {
            uint32_t x = 1, y = 2;
            const bool plain = map.Map(static_cast<uint32_t>(a), &x), quick = indexed.Map(static_cast<uint32_t>(a), &y);
            ASSERT_EQ(plain, quick) << std::hex << a;
            if (plain) ASSERT_EQ(x, y) << std::hex << a;
            if (stride < 0x1000000 && a > at + stride) break;
        }
    }
}

TEST(ExecutableTransform, DamagedMapsAndPayloadsAreRefused) {
    AddressMap map;
    map.newImageBase = 0x140000000;
    map.segments = {{0x1000, 0x500, 16}, {0x1600, 0x100, -0x600}, {0x3000, 0x2000, 0x1000}};
    map.tables = {{0x2000, 10, 0}, {0x2028, 1, 0x1000}};
    std::vector<uint8_t> bytes;
    WriteAddressMap(map, &bytes);
    AddressMap read;
    ASSERT_TRUE(ReadAddressMap(bytes.data(), bytes.size(), &read));
    ASSERT_EQ(read.segments.size(), 3u);
    ASSERT_EQ(read.tables.size(), 2u);
    EXPECT_EQ(read.tables[1].oldStart, 0x2028u);
    EXPECT_EQ(read.tables[1].base, 0x1000);
    uint32_t mapped = 0;
    EXPECT_TRUE(read.Map(0x1600, &mapped));
    EXPECT_EQ(mapped, 0x1000u);
    EXPECT_FALSE(read.Map(0x1500, &mapped));  // between segments
    EXPECT_FALSE(read.Map(0x5000, &mapped));  // past the last
    for (size_t cut = 0; cut < bytes.size(); ++cut) EXPECT_FALSE(ReadAddressMap(bytes.data(), cut, &read)) << cut;
    std::vector<uint8_t> longer = bytes;
    longer.push_back(0);
    EXPECT_FALSE(ReadAddressMap(longer.data(), longer.size(), &read));
    const std::vector<std::vector<AddressSegment>> refused = {
        {{0x1000, 0, 0}},                       // empty
        {{0x1000, 0x100, -0x1001}},             // maps below address 0
        {{0xFFFFF000u, 0x1000, 1}},             // maps past 4 GiB
        {{0x1000, 0xFFFFFFFFu, 0}},             // runs past 4 GiB
    };
    for (const auto& segments : refused) {
        AddressMap bad;
        bad.segments = segments;
        bytes.clear();
        WriteAddressMap(bad, &bytes);
        EXPECT_FALSE(ReadAddressMap(bytes.data(), bytes.size(), &read)) << segments[0].oldStart;
    }
    for (const WordTable& table : {WordTable{0x1000, 0, 0}, WordTable{0xFFFFFFF0u, 5, 0}, WordTable{0, 1, 1LL << 32}}) {
        AddressMap bad;
        bad.tables = {table};
        bytes.clear();
        WriteAddressMap(bad, &bytes);
        EXPECT_FALSE(ReadAddressMap(bytes.data(), bytes.size(), &read)) << table.oldStart;
    }

    // A table of addresses relative to the image base: each word whose address the map
    // moves is predicted, and words that are no address inside the image stay.
    {
        SyntheticProgram program = MakeProgram(false, 50);
        std::vector<uint8_t> image = BuildPe(program);
        ExecutableLayout layout;
        ASSERT_TRUE(ReadExecutableLayout(image.data(), image.size(), &layout));
        const ExecutableSection& data = layout.sections[1];
        const uint32_t table = data.rawOffset + program.dataSize / 4;  // the addresses of functions
        Put32(image, table + 4, 0x7FFFFFF0);  // no address in the image
        AddressMap moved;
        moved.segments = {{0x1000, 0x1000, 0x20}};  // .text moved up by 0x20
        moved.tables = {{data.virtualAddress + program.dataSize / 4, 3, 0}};
        const std::vector<ReferenceFix> fixes = PredictReferences(image.data(), image.size(), layout, moved);
        std::vector<uint32_t> tableFixes;
        for (const ReferenceFix& f : fixes) {
            if (f.offset >= table && f.offset < table + 12) {
                EXPECT_EQ(f.value, Get32(image, f.offset) + 0x20);
                tableFixes.push_back(f.offset);
            }
        }
        EXPECT_EQ(tableFixes, (std::vector<uint32_t>{table, table + 8}));
    }

    // A transformed payload: a changed map gives another result (which the patch's
    // SHA-256 refuses), a cut map or an old file that is no executable is corrupt.
    const SyntheticProgram first = MakeProgram(false, 300);
    const std::vector<uint8_t> oldData = BuildPe(first), newData = BuildPe(NextBuild(first));
    const std::vector<uint8_t> payload = Encode(oldData, newData, true);
    ASSERT_EQ(payload[0], static_cast<uint8_t>(DeltaFilter::kExecutable));
    std::vector<uint8_t> out;
    std::vector<uint8_t> notPe = oldData;
    notPe[0] = 'X';
    EXPECT_EQ(Decode(notPe, payload, newData.size(), &out), DeltaStatus::kCorrupt);
    std::vector<uint8_t> cut(payload.begin(), payload.end() - 1);
    EXPECT_EQ(Decode(oldData, cut, newData.size(), &out), DeltaStatus::kCorrupt);
    std::vector<uint8_t> asPlain = payload;
    asPlain[0] = static_cast<uint8_t>(DeltaFilter::kNone);  // the map stream is then left over
    EXPECT_EQ(Decode(oldData, asPlain, newData.size(), &out), DeltaStatus::kCorrupt);

    // Damaged bytes of the payload inside a well-formed patch: refused, or (a change
    // that the result does not depend on, such as a segment no reference uses) exactly
    // the new file, never anything else.
    PatchContents contents;
    PatchEntry entry;
    entry.kind = EntryKind::kPatch;
    entry.path = "app.exe";
    entry.oldSize = oldData.size();
    entry.oldHash = Sha256::Of(oldData.data(), oldData.size());
    entry.newSize = newData.size();
    entry.newHash = Sha256::Of(newData.data(), newData.size());
    for (size_t at = 1; at < payload.size(); at += 1 + at / 64) {
        std::vector<uint8_t> damaged = payload;
        damaged[at] ^= 0x5A;
        entry.payload = damaged.data();
        entry.payloadSize = damaged.size();
        contents.entries = {entry};
        const std::vector<uint8_t> patch = WritePatch(contents);
        std::vector<uint8_t> result;
        std::string name;
        const uint32_t status = ApplyPatchToContent(patch.data(), patch.size(), oldData, &result, &name);
        EXPECT_TRUE(status == PATCHLIB_ERR_INVALID_PATCH || status == PATCHLIB_ERR_BAD_RESULT ||
                    (status == PATCHLIB_OK && result == newData))
            << at << ": " << status;
    }
}

TEST(ExecutableTransform, FormatVersions) {
    // Kept from the makepatch of format 1: a tree patch, and a one-file patch with the
    // x86 filter. They apply as they did.
    const std::string kept = std::string(HALVORIN_SOURCE_DIR) + "/patchlib/tests/data/format1";
    const std::vector<uint8_t> treePatch = ReadAll(kept + "/tree.hvp"), filePatch = ReadAll(kept + "/app-x86.hvp");
    ASSERT_FALSE(treePatch.empty());
    ASSERT_EQ(treePatch[8], 1);
    ASSERT_EQ(filePatch[8], 1);
    const std::vector<uint8_t> oldApp = ReadAll(kept + "/old/app.bin");
    std::vector<uint8_t> newApp;
    std::string name;
    ASSERT_EQ(ApplyPatchToContent(filePatch.data(), filePatch.size(), oldApp, &newApp, &name), PATCHLIB_OK);
    EXPECT_EQ(newApp.size(), 6018u);

    const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("executable_transform_test." + std::to_string(getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::copy(kept + "/old", dir, std::filesystem::copy_options::recursive);
    StdTreeFileSystem tree(dir.string());
    class Quiet : public PatchMessages {
    public:
        bool Send(uint32_t, void*) override { return true; }
    } quiet;
    EXPECT_EQ(ApplyPatchToTree(treePatch.data(), treePatch.size(), tree, quiet), PATCHLIB_OK);
    EXPECT_TRUE(ReadAll((dir / "app.bin").string()) == newApp);  // the same change as the one-file patch
    EXPECT_FALSE(std::filesystem::exists(dir / "gone.txt"));
    EXPECT_TRUE(std::filesystem::exists(dir / "docs" / "added.txt"));
    std::filesystem::remove_all(dir);

    // A patch is written as version 2 only when a record uses the transform or stores a
    // stream as it is, and a version 1 patch that holds such a record is refused. Version
    // 2 writes the new size as a difference from the old, which may not go below zero.
    PatchContents contents;
    PatchEntry entry;
    entry.kind = EntryKind::kPatch;
    entry.path = "app.exe";
    entry.oldSize = 5000;
    entry.newSize = 4000;
    std::vector<uint8_t> payload(DeltaHeader::kMinSize + 1, 0);
    entry.payload = payload.data();
    entry.payloadSize = payload.size();
    contents.entries = {entry};
    EXPECT_EQ(WritePatch(contents)[8], 1);
    for (const size_t at : {0, 1}) {
        payload[at] = at == 0 ? static_cast<uint8_t>(DeltaFilter::kExecutable) : static_cast<uint8_t>(StreamCoding::kCompact);
        std::vector<uint8_t> patch = WritePatch(contents);
        EXPECT_EQ(patch[8], 2);
        PatchContents read;
        ASSERT_EQ(ReadPatch(patch.data(), patch.size(), &read), PatchReadStatus::kOk);
        EXPECT_EQ(read.entries[0].newSize, 4000u);
        patch[8] = 1;
        ResealPatch(patch);
        EXPECT_EQ(ReadPatch(patch.data(), patch.size(), &read), PatchReadStatus::kMalformed) << at;
        payload[at] = 0;
    }
    payload[1] = static_cast<uint8_t>(StreamCoding::kCompact);
    contents.entries[0].newSize = 0;
    std::vector<uint8_t> shrunk = WritePatch(contents);
    const std::vector<uint8_t> change = {0x8F, 0x4E};  // svarint -5000
    auto at = std::search(shrunk.begin(), shrunk.end(), change.begin(), change.end());
    ASSERT_NE(at, shrunk.end());
    at[0] = 0x91;  // -5001
    ResealPatch(shrunk);
    PatchContents read;
    EXPECT_EQ(ReadPatch(shrunk.data(), shrunk.size(), &read), PatchReadStatus::kMalformed);
}

// Real programs: the project's own Windows binaries, one made from another.
TEST(ExecutableTransform, TheProjectsOwnBinaries) {
    int seen = 0;
    for (const char* arch : {"i686", "x86_64"}) {
        const std::string bin = std::string(HALVORIN_SOURCE_DIR) + "/out/" + arch + "/bin/";
        const std::vector<uint8_t> oldData = ReadAll(bin + "halvorin.exe"), newData = ReadAll(bin + "Brannock.dll");
        if (oldData.empty() || newData.empty()) continue;
        ++seen;
        const std::vector<uint8_t> payload = Encode(oldData, newData, true);
        std::vector<uint8_t> rebuilt;
        ASSERT_EQ(Decode(oldData, payload, newData.size(), &rebuilt), DeltaStatus::kOk) << arch;
        EXPECT_TRUE(rebuilt == newData) << arch;
    }
    if (seen == 0) GTEST_SKIP() << "no Windows build here (scripts/build.sh makes one)";
}
