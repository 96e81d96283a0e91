// File identity of real files and the verification of file entries against the disk.
#include <gtest/gtest.h>
#include <windows.h>

#include "common/win_handles.h"
#include "engine/engine_context.h"
#include "common/file_id.h"
#include "files/file_identity.h"
#include "tests/helpers/test_support.h"

using namespace testing_support;

namespace {

std::string IdOf(const std::string& path) {
    UniqueHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(file.valid()) << path;
    return file.valid() ? ComputeFileId(file.get()) : std::string();
}

std::string Pattern(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (auto& b : bytes) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<char>(seed >> 16);
    }
    return bytes;
}

ImageFileEntry Entry(const std::string& localPath, uint32_t size, const std::string& fileId) {
    ImageFileEntry entry;
    entry.localPath = localPath;
    entry.expectedSize = size;
    entry.fileId = fileId;
    return entry;
}

}  // namespace

TEST(FileIdentity, RealFilesGiveTheirMinuteAndSampleChecksum) {
    ScratchDirectory dir("fileid");
    const std::string abc = dir.File("abc.txt");
    ASSERT_TRUE(WriteWholeFile(abc, "abc"));
    ASSERT_TRUE(SetLastWriteTimeUtc(abc, 2020, 3, 4, 10, 7, 30));
    EXPECT_EQ("07D3EBBDAC", IdOf(abc));

    const std::string empty = dir.File("empty.bin");
    ASSERT_TRUE(WriteWholeFile(empty, ""));
    ASSERT_TRUE(SetLastWriteTimeUtc(empty, 2021, 1, 1, 0, 42, 0));
    EXPECT_EQ("42FFFFFFFF", IdOf(empty));

    // 65,535 bytes are sampled whole: the last byte counts.
    const std::string below = dir.File("below.bin");
    std::string bytes = Pattern(65535, 1);
    ASSERT_TRUE(WriteWholeFile(below, bytes));
    const std::string belowId = IdOf(below);
    bytes.back() ^= 0x5A;
    ASSERT_TRUE(WriteWholeFile(below, bytes));
    EXPECT_FALSE(FileIdsMatch(belowId, IdOf(below)));

    // 65,536 bytes and more: head and tail, the last byte left out.
    for (size_t size : {size_t{65536}, size_t{300000}}) {
        const std::string large = dir.File("large.bin");
        std::string content = Pattern(size, 7);
        ASSERT_TRUE(WriteWholeFile(large, content));
        ASSERT_TRUE(SetLastWriteTimeUtc(large, 2022, 5, 6, 7, 8, 9));
        const std::string before = IdOf(large);
        content.back() ^= 0x5A;
        ASSERT_TRUE(WriteWholeFile(large, content));
        ASSERT_TRUE(SetLastWriteTimeUtc(large, 2022, 5, 6, 7, 8, 9));
        EXPECT_EQ(before, IdOf(large)) << size;
        content[size - 2] ^= 0x5A;
        ASSERT_TRUE(WriteWholeFile(large, content));
        EXPECT_FALSE(FileIdsMatch(before, IdOf(large))) << size;
    }
}

class VerifyFileTest : public ::testing::Test {
protected:
    VerifyFileTest() : dir_("verify") { context_.log.SetPath(dir_.File("engine.log")); }

    std::string Log() { return ReadWholeFile(dir_.File("engine.log")); }

    ScratchDirectory dir_;
    EngineContext context_;
};

TEST_F(VerifyFileTest, LogsAndReportsEachOutcome) {
    ASSERT_TRUE(WriteWholeFile(dir_.File("app.exe"), "abc"));
    ASSERT_TRUE(SetLastWriteTimeUtc(dir_.File("app.exe"), 2020, 1, 2, 3, 33, 5));
    const std::string base = dir_.path();
    const std::string resolved = base + "/app.exe";  // relative paths are joined with '/'

    EXPECT_TRUE(context_.VerifyFile(Entry("app.exe", 3, "07D3EBBDAC"), base));  // minute digits ignored
    EXPECT_FALSE(context_.VerifyFile(Entry("app.exe", 4, "07D3EBBDAC"), base));
    EXPECT_FALSE(context_.VerifyFile(Entry("app.exe", 3, "07D3EBBDAD"), base));
    EXPECT_FALSE(context_.VerifyFile(Entry("app.exe", 3, "07d3ebbdac"), base));  // lower case never matches
    EXPECT_FALSE(context_.VerifyFile(Entry("app.exe", 3, ""), base));            // seven-field entry
    EXPECT_FALSE(context_.VerifyFile(Entry("missing.exe", 3, "07D3EBBDAC"), base));

    EXPECT_EQ("\r\n " + resolved + " : OK" +
              "\r\n " + resolved + " : wrong size (3, expected 4)." +
              "\r\n " + resolved + " : wrong file Id (33D3EBBDAC, expected 07D3EBBDAD)." +
              "\r\n " + resolved + " : wrong file Id (33D3EBBDAC, expected 07d3ebbdac)." +
              "\r\n " + resolved + " : wrong file Id (33D3EBBDAC, expected )." +
              "\r\n " + base + "/missing.exe : file doesn't exist or is locked.",
              Log());
    // A wrong file Id is logged, not reported.
    const auto report = context_.errorReport.Texts();
    ASSERT_EQ(2u, report.size());
    EXPECT_EQ("File " + resolved + " has the wrong size. Current size is 3 bytes, expected 4 bytes.", report[0]);
    EXPECT_EQ("Cannot open file " + base + "/missing.exe. The file doesn't exist or is locked.", report[1]);
}

TEST_F(VerifyFileTest, AFileLockedByAnotherProcessCountsAsMissing) {
    const std::string path = dir_.File("locked.dll");
    ASSERT_TRUE(WriteWholeFile(path, "abc"));
    {
        HeldFile held(path);
        ASSERT_TRUE(held.holding());
        EXPECT_FALSE(context_.VerifyFile(Entry("locked.dll", 3, "00D3EBBDAC"), dir_.path()));
    }
    EXPECT_TRUE(context_.VerifyFile(Entry("locked.dll", 3, "00D3EBBDAC"), dir_.path()));
    const auto report = context_.errorReport.Texts();
    ASSERT_EQ(1u, report.size());
    EXPECT_NE(std::string::npos, report[0].find("Cannot open file")) << report[0];
}

TEST_F(VerifyFileTest, AbsoluteAndSystemPathsAreNotJoined) {
    ASSERT_TRUE(WriteWholeFile(dir_.File("abs.txt"), "abc"));
    // An absolute local path stands alone, whatever the base directory.
    EXPECT_TRUE(context_.VerifyFile(Entry(dir_.File("abs.txt"), 3, "00D3EBBDAC"), "C:\\nowhere"));

    // %SYSTEM% resolves into the system directory.
    char system[MAX_PATH] = "";
    ASSERT_GT(GetSystemDirectoryA(system, sizeof(system)), 0u);
    const std::string systemFile = std::string(system) + "\\halvorin-verify-" +
                                   std::to_string(GetCurrentProcessId()) + ".txt";
    ASSERT_TRUE(WriteWholeFile(systemFile, "abc"));
    const std::string local = "%SYSTEM%" + systemFile.substr(strlen(system));
    EXPECT_TRUE(context_.VerifyFile(Entry(local, 3, "00D3EBBDAC"), "C:\\nowhere"));
    DeleteFileA(systemFile.c_str());
    EXPECT_NE(std::string::npos, Log().find("\r\n" + std::string(" ") + systemFile + " : OK")) << Log();

    // A directory cannot be opened as a file, even where an empty file of that name would
    // match (size 0 and the Id of no bytes).
    CreateDirectoryA(dir_.File("sub").c_str(), nullptr);
    context_.errorReport.Clear();
    EXPECT_FALSE(context_.VerifyFile(Entry("sub", 0, "00FFFFFFFF"), dir_.path()));
    EXPECT_EQ(std::vector<std::string>{"Cannot open file " + dir_.path() + "/sub. The file doesn't exist or is locked."},
              context_.errorReport.Texts());
}
