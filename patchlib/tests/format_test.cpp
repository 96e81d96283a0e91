// Patch file format, names inside patches and the library's command line.
#include <gtest/gtest.h>

#include <cstring>

#include "patchlib/command_line.h"
#include "patchlib/patch_format.h"
#include "patchlib/patch_path.h"
#include "patchlib/tests/test_data.h"
#include "patchlib/utf8.h"

namespace {

const std::vector<uint8_t> kNoPayload;

// payload must outlive the entry.
PatchEntry Entry(EntryKind kind, const std::string& path, const std::vector<uint8_t>& payload = kNoPayload) {
    PatchEntry entry;
    entry.kind = kind;
    entry.path = path;
    entry.oldSize = 10;
    entry.oldHash = Sha256::Of("old", 3);
    entry.newSize = 20;
    entry.newHash = Sha256::Of("new", 3);
    entry.payload = payload.data();
    entry.payloadSize = payload.size();
    return entry;
}


PatchReadStatus Read(const std::vector<uint8_t>& bytes) {
    PatchContents contents;
    return ReadPatch(bytes.data(), bytes.size(), &contents);
}

TEST(PatchFormat, RoundTripsEveryKindOfRecord) {
    TestRandom random(1);
    const std::vector<uint8_t> delta = random.Bytes(80), packed = random.Bytes(30);
    PatchContents contents;
    contents.comment = "Update 2.1 to 2.2";
    contents.copyright = "(c) Tolbeck";
    contents.entries = {Entry(EntryKind::kPatch, "bin/app.exe", delta), Entry(EntryKind::kAdd, "new/readme.txt", packed),
                        Entry(EntryKind::kDelete, "old.dll")};
    const std::vector<uint8_t> bytes = WritePatch(contents);

    PatchContents read;
    ASSERT_EQ(ReadPatch(bytes.data(), bytes.size(), &read), PatchReadStatus::kOk);
    EXPECT_EQ(read.comment, contents.comment);
    EXPECT_EQ(read.copyright, contents.copyright);
    ASSERT_EQ(read.entries.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        const PatchEntry& a = contents.entries[i];
        const PatchEntry& b = read.entries[i];
        EXPECT_EQ(a.kind, b.kind);
        EXPECT_EQ(a.path, b.path);
        if (a.kind != EntryKind::kAdd) {
            EXPECT_EQ(a.oldSize, b.oldSize);
            EXPECT_EQ(a.oldHash, b.oldHash);
        }
        if (a.kind != EntryKind::kDelete) {
            EXPECT_EQ(a.newSize, b.newSize);
            EXPECT_EQ(a.newHash, b.newHash);
            ASSERT_EQ(a.payloadSize, b.payloadSize);
            EXPECT_EQ(memcmp(a.payload, b.payload, a.payloadSize), 0);
        }
    }

    // Empty patch: no texts, no records.
    EXPECT_EQ(Read(WritePatch(PatchContents())), PatchReadStatus::kOk);
}

TEST(PatchFormat, DamageIsRecognised) {
    const std::vector<uint8_t> packed(10, 1);
    PatchContents contents;
    contents.entries = {Entry(EntryKind::kAdd, "a.txt", packed), Entry(EntryKind::kDelete, "b")};
    const std::vector<uint8_t> bytes = WritePatch(contents);
    for (size_t cut = 0; cut < bytes.size(); ++cut) {
        ASSERT_NE(Read(std::vector<uint8_t>(bytes.begin(), bytes.begin() + cut)), PatchReadStatus::kOk) << cut;
    }
    for (size_t at = 10; at < bytes.size(); ++at) {
        for (int bit = 0; bit < 8; ++bit) {
            std::vector<uint8_t> bad = bytes;
            bad[at] ^= static_cast<uint8_t>(1 << bit);
            ASSERT_EQ(Read(bad), PatchReadStatus::kDamaged) << at;
        }
    }
    std::vector<uint8_t> bad = bytes;
    bad[0] = 'X';
    EXPECT_EQ(Read(bad), PatchReadStatus::kNotAPatch);
    bad = bytes;
    bad[8] = kPatchFormatVersion + 1;  // a later format version
    EXPECT_EQ(Read(bad), PatchReadStatus::kNotAPatch);
    bad[8] = 0;
    EXPECT_EQ(Read(bad), PatchReadStatus::kNotAPatch);
    bad = bytes;
    bad[9] = 1;  // flags this reader does not know
    EXPECT_EQ(Read(bad), PatchReadStatus::kNotAPatch);
    EXPECT_EQ(Read(ToBytes("install.rtp is just text, no patch")), PatchReadStatus::kNotAPatch);
}

TEST(PatchFormat, MalformedRecordsBehindAGoodTrailerAreRefused) {
    PatchContents contents;
    contents.comment = "c";
    contents.entries = {Entry(EntryKind::kDelete, "b")};
    const std::vector<uint8_t> good = WritePatch(contents);
    // Offsets: 10 count, 11 comment length, 12 comment, 13 copyright length, 14 kind,
    // 15 path length, 16 path, 17 old size, 18 hash, 50 trailer.
    ASSERT_EQ(good.size(), 54u);
    auto patched = [&](size_t at, std::vector<uint8_t> value) {
        std::vector<uint8_t> bytes = good;
        std::copy(value.begin(), value.end(), bytes.begin() + static_cast<long>(at));
        ResealPatch(bytes);
        return Read(bytes);
    };
    EXPECT_EQ(patched(10, {2}), PatchReadStatus::kMalformed);                          // more records than fit
    EXPECT_EQ(patched(10, {0xFF, 0xFF, 0xFF, 0x7F}), PatchReadStatus::kMalformed);
    EXPECT_EQ(patched(10, {0}), PatchReadStatus::kMalformed);                          // bytes left over
    EXPECT_EQ(patched(11, {0x7F}), PatchReadStatus::kMalformed);                       // text beyond the end
    EXPECT_EQ(patched(12, {0}), PatchReadStatus::kMalformed);                          // zero byte in a text
    EXPECT_EQ(patched(12, {0xE9}), PatchReadStatus::kMalformed);                       // a text not in UTF-8
    EXPECT_EQ(patched(14, {9}), PatchReadStatus::kMalformed);                          // unknown kind
    EXPECT_EQ(patched(15, {0x7F}), PatchReadStatus::kMalformed);                       // path beyond the end
    EXPECT_EQ(patched(15, {0}), PatchReadStatus::kUnsafePath);                         // empty path
    EXPECT_EQ(patched(17, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}), PatchReadStatus::kMalformed);  // size
    EXPECT_EQ(patched(17, {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x02}),
              PatchReadStatus::kMalformed);                                             // over 64 bits
}

TEST(PatchFormat, NamesThatEscapeOrCollideAreRefused) {
    for (const char* bad : {"/etc/passwd", "../up.dll", "a/../../b", "a/./b", "a//b", "a/", "C:/x", "C:x", "a\\b",
                            "..", ".", "dir/file.", "dir/file ", "CON", "con.txt", "a/NUL", "lpt1.log", "Com9",
                            "a\tb", "what?", "x*y", "a|b", "a<b", "a>b", "\"q\"", "stream:$DATA",
                            ".hvpatch-journal", ".HVPatch-Journal.NEW", ".hvpatch-journal/x"}) {
        EXPECT_FALSE(IsSafePatchPath(bad)) << bad;
        PatchContents contents;
        contents.entries = {Entry(EntryKind::kDelete, bad)};
        EXPECT_EQ(Read(WritePatch(contents)), PatchReadStatus::kUnsafePath) << bad;
    }
    EXPECT_FALSE(IsSafePatchPath(""));
    EXPECT_FALSE(IsSafePatchPath(std::string(kMaxPatchPathLength + 1, 'a')));
    for (const char* good : {"a", "app.exe", "bin/app.exe", "a b/c d.txt", ".hidden", "a..b", "console.dll",
                             "com10", "lpt", "x/y/z/w.dat", "\xC3\xA9t\xC3\xA9.txt", "sub/.hvpatch-journal",
                             ".hvpatch-journal.old"}) {
        EXPECT_TRUE(IsSafePatchPath(good)) << good;
    }

    PatchContents twice;
    twice.entries = {Entry(EntryKind::kDelete, "Dir/File.txt"), Entry(EntryKind::kDelete, "dir/file.TXT")};
    EXPECT_EQ(Read(WritePatch(twice)), PatchReadStatus::kDuplicatePath);
    PatchContents fileAndDirectory;
    fileAndDirectory.entries = {Entry(EntryKind::kDelete, "a"), Entry(EntryKind::kDelete, "A/b")};
    EXPECT_EQ(Read(WritePatch(fileAndDirectory)), PatchReadStatus::kDuplicatePath);
    PatchContents siblings;
    siblings.entries = {Entry(EntryKind::kDelete, "a"), Entry(EntryKind::kDelete, "ab/c")};
    EXPECT_EQ(Read(WritePatch(siblings)), PatchReadStatus::kOk);
}

// Names are UTF-8: anything else is refused, characters compare without case as on
// NTFS (simple uppercase), and the superscript-digit devices count as devices.
TEST(PatchNames, Utf8CaseAndDevices) {
    for (const char* good : {"\xE8\xA1\xA8", "\xE3\x82\xBD\xE3\x83\x95\xE3\x83\x88.dll",  // 表, ソフト.dll
                             "\xE3\x82\xBD\xE3\x83\x95\xE3\x83\x88/\xE8\xA1\xA8\xE7\xA4\xBA.dat",
                             "\xF0\x9F\x98\x80.txt", "COM\xE2\x81\xB4", "LPT\xC2\xB9\xC2\xB9"}) {
        EXPECT_TRUE(IsSafePatchPath(good)) << good;
    }
    for (const char* bad : {"\xE9t\xE9.txt",           // Latin-1
                            "a\xC0\xAF..\xC0\xAF" "b",  // overlong '/'
                            "\xE0\x80\xAF", "\xF0\x80\x80\xAF", "\xED\xA0\x80.txt", "\xED\xBF\xBF",  // surrogates
                            "\xF4\x90\x80\x80", "\xF8\x88\x80\x80\x80", "\x80x", "x\xE3\x81", "\xE3\x81x.txt",
                            "\xC2\x85", "com\xC2\xB9", "LPT\xC2\xB2.txt", "a/Com\xC2\xB3.log", "lpt\xC2\xB3 .x"}) {
        EXPECT_FALSE(IsSafePatchPath(bad)) << bad;
        PatchContents contents;
        contents.entries = {Entry(EntryKind::kDelete, bad)};
        EXPECT_EQ(Read(WritePatch(contents)), PatchReadStatus::kUnsafePath) << bad;
    }

    const std::vector<std::pair<const char*, const char*>> same = {
        {"\xC3\x89.txt", "\xC3\xA9.TXT"},            // É é
        {"\xCE\xA3.txt", "\xCF\x83.txt"},            // Σ σ
        {"\xCF\x82.txt", "\xCF\x83.txt"},            // ς σ
        {"\xD0\x96/a", "\xD0\xB6/A"},                // Ж ж
        {"\xC5\xBF.txt", "S.txt"},                     // ſ: its uppercase is S
        {"\xE1\xBE\x80", "\xE1\xBE\x88"}};         // ᾀ ᾈ
    const std::vector<std::pair<const char*, const char*>> different = {
        {"\xE3\x82\xA2.txt", "\xE3\x83\x81.txt"},  // ア チ
        {"\xC3\x9F", "ss"}, {"\xE2\x84\xAA", "k"},   // ß, Kelvin sign
        {"\xF0\x90\x90\x80", "\xF0\x90\x90\xA8"}};  // outside the BMP, as NTFS
    for (const auto* pairs : {&same, &different}) {
        for (const auto& [a, b] : *pairs) {
            const bool expectSame = pairs == &same;
            EXPECT_EQ(FoldPatchPath(a) == FoldPatchPath(b), expectSame) << a << " " << b;
            PatchContents contents;
            contents.entries = {Entry(EntryKind::kDelete, a), Entry(EntryKind::kDelete, b)};
            EXPECT_EQ(Read(WritePatch(contents)), expectSame ? PatchReadStatus::kDuplicatePath : PatchReadStatus::kOk)
                << a << " " << b;
        }
    }
    PatchContents fileAndDirectory;
    fileAndDirectory.entries = {Entry(EntryKind::kDelete, "\xC3\x89"), Entry(EntryKind::kDelete, "\xC3\xA9/b")};
    EXPECT_EQ(Read(WritePatch(fileAndDirectory)), PatchReadStatus::kDuplicatePath);

    // Every character: UTF-8 round trip (surrogates refused), and folding twice changes nothing.
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        std::string text;
        AppendUtf8(c, &text);
        size_t at = 0;
        char32_t back = 0;
        const bool surrogate = c >= 0xD800 && c <= 0xDFFF;
        ASSERT_EQ(NextUtf8(text, &at, &back), !surrogate) << std::hex << c;
        if (!surrogate) ASSERT_TRUE(back == c && at == text.size()) << std::hex << c;
        ASSERT_EQ(SimpleUppercase(SimpleUppercase(c)), SimpleUppercase(c)) << std::hex << c;
    }
}

TEST(PatchCommandLine, AcceptsTheThreeFormsOnly) {
    PatchCommand command;
    ASSERT_TRUE(ParsePatchCommandLine("\"C:\\App\" \"C:\\App/p.rtp\"", &command));
    EXPECT_EQ(command.directory, "C:\\App");
    EXPECT_EQ(command.patchFile, "C:\\App/p.rtp");
    ASSERT_TRUE(ParsePatchCommandLine("  \"C:\\My App\"\t \"D:\\x y\\p.rtp\"  ", &command));
    EXPECT_EQ(command.directory, "C:\\My App");
    EXPECT_EQ(command.patchFile, "D:\\x y\\p.rtp");
    ASSERT_TRUE(ParsePatchCommandLine("install.rtp", &command));
    EXPECT_EQ(command.directory, "");
    EXPECT_EQ(command.patchFile, "install.rtp");
    ASSERT_TRUE(ParsePatchCommandLine(" sub\\install.rtp ", &command));
    EXPECT_EQ(command.patchFile, "sub\\install.rtp");
    // A directory alone: settle it, apply nothing.
    ASSERT_TRUE(ParsePatchCommandLine(" \"C:\\My App\" ", &command));
    EXPECT_EQ(command.directory, "C:\\My App");
    EXPECT_EQ(command.patchFile, "");

    for (const char* bad : {"", "   ", "\"C:\\App\" x", "\"\"", "\"C:\\App\" \"p.rtp\" extra", "\"C:\\App\"\"p.rtp\"",
                            "\"\" \"p.rtp\"", "\"C:\\App\" \"\"", "\"C:\\App \"p.rtp\"", "two words.rtp",
                            "in\"stall.rtp", "\"C:\\App\" p.rtp"}) {
        EXPECT_FALSE(ParsePatchCommandLine(bad, &command)) << bad;
    }
    EXPECT_FALSE(ParsePatchCommandLine(nullptr, &command));
}

}  // namespace
