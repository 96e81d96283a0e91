// ExpandFile on its own: the LZ functions when the expand tool cannot be started, and a
// target that does not come out as the image describes it.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "common/message_texts.h"
#include "files/expansion.h"
#include "tools/site/szdd.h"
#include "tests/helpers/test_support.h"
#include "tests/robot/ui_robot.h"

using namespace testing_support;

namespace {

std::string Compressed(const std::string& plain) {
    const std::vector<uint8_t> bytes = CompressSzdd(std::vector<uint8_t>(plain.begin(), plain.end()), 't');
    return std::string(bytes.begin(), bytes.end());
}

// Bytes that compress in part: runs and repeats between random stretches.
std::string Sample(size_t size) {
    std::string bytes(size, '\0');
    unsigned x = 77;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        bytes[i] = (i / 700) % 2 ? static_cast<char>(x >> 16) : static_cast<char>('a' + i % 23);
    }
    return bytes;
}

}  // namespace

// What the publishers' tool compresses, the system's tool and the LZ functions expand alike.
TEST(ExpandFile, TheToolAndTheLzFunctionsExpandOurCompressedFiles) {
    ScratchDirectory dir("expand-tool");
    Diagnostics engine;
    engine.log.SetPath(dir.File("engine.log"));
    for (const size_t size : {size_t{5}, size_t{4096}, size_t{150000}}) {
        for (const char* tool : {"expand.exe", "no-such-expand.exe"}) {
            SCOPED_TRACE(std::to_string(size) + " bytes through " + tool);
            ExpansionJob job;
            job.engine = &engine;
            job.applicationDirectory = dir.path();
            job.downloadedFile = dir.File("f.bi_");
            job.targetPath = dir.File("f.bin");
            job.expectedSize = static_cast<uint32_t>(size);
            job.timestamp.year = 2001;
            job.timestamp.month = 1;
            job.timestamp.day = 2;
            job.expandTool = tool;
            ASSERT_TRUE(WriteWholeFile(job.downloadedFile, Compressed(Sample(size))));
            EXPECT_TRUE(ExpandFile(job));
            EXPECT_TRUE(ReadWholeFile(job.targetPath) == Sample(size));
        }
    }
    EXPECT_EQ(3u, [&] {
        const std::string log = ReadWholeFile(dir.File("engine.log"));
        size_t count = 0;
        for (size_t at = log.find("trying LZCopy"); at != std::string::npos; at = log.find("trying LZCopy", at + 1)) ++count;
        return count;
    }()) << "the LZ functions stood in for the missing tool, and only for it";
    EXPECT_TRUE(engine.errorReport.Texts().empty());
}

TEST(ExpandFile, LzFunctionsStandInForTheToolAndAWrongSizeIsAFailure) {
    LoadMessageTexts(GetModuleHandleA(nullptr));
    ScratchDirectory dir("expand");
    const std::string plain(5000, 'x');
    Diagnostics engine;
    engine.log.SetPath(dir.File("engine.log"));
    ExpansionJob job;
    job.engine = &engine;
    job.applicationDirectory = dir.path();
    job.downloadedFile = dir.File("a.da_");
    job.targetPath = dir.File("a.dat");
    job.expectedSize = 5000;
    job.timestamp.year = 2001;
    job.timestamp.month = 1;
    job.timestamp.day = 2;
    job.expandTool = dir.File("no-such-expand.exe");
    ASSERT_TRUE(WriteWholeFile(job.downloadedFile, Compressed(plain)));
    EXPECT_TRUE(ExpandFile(job));
    EXPECT_EQ(plain, ReadWholeFile(job.targetPath));
    EXPECT_FALSE(FileExists(job.downloadedFile) || FileExists(job.downloadedFile + "_"));
    EXPECT_EQ("\r\nExpanding file, param: \"" + job.downloadedFile + "\" \"" + job.downloadedFile +
                  "_\"... failed, trying LZCopy.",
              ReadWholeFile(dir.File("engine.log")));

    // The image says 4000 bytes: the file stays, the user is told, and it counts as failed.
    ASSERT_TRUE(WriteWholeFile(job.downloadedFile, Compressed(plain)));
    job.expectedSize = 4000;
    char installed = 1;
    job.installed = &installed;
    uirobot::WindowFilter own;
    own.processId = GetCurrentProcessId();
    uirobot::BoxWatcher boxes(own);
    EXPECT_FALSE(ExpandFile(job));
    EXPECT_EQ(0, installed);
    ASSERT_TRUE(boxes.WaitForCount(1, 10000));
    EXPECT_EQ("Error", boxes.Seen()[0].caption);
    EXPECT_EQ(0u, boxes.Seen()[0].text.find("The expanded file " + job.targetPath + " was expected to be"));
    EXPECT_EQ(plain, ReadWholeFile(job.targetPath));
    const std::string text = "The expanded file " + job.targetPath +
                             " was expected to be  4000 bytes in size but is actually  5000 bytes long.";
    EXPECT_EQ(std::vector<std::string>{text}, engine.errorReport.Texts());
}
