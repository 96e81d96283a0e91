// ExpandFile on its own: the LZ functions when the expand tool cannot be started, the
// system's own tool whatever lies in the current directory, and targets that do not come
// out as the image describes them, which are never installed.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "common/file_id.h"
#include "common/message_texts.h"
#include "common/resource_ids.h"
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

std::string IdOf(const std::string& plain) {
    return FormatFileId(ChecksumBytes(reinterpret_cast<const uint8_t*>(plain.data()), plain.size()), 0);
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
            job.downloadedFile = dir.File("f.bi_");
            job.targetPath = dir.File("f.bin");
            job.expectedSize = static_cast<uint32_t>(size);
            job.expectedFileId = IdOf(Sample(size));
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

TEST(ExpandFile, OnlyACheckedFileTakesTheTargetsPlace) {
    LoadMessageTexts(GetModuleHandleA(nullptr));
    ScratchDirectory dir("expand");
    const std::string plain(5000, 'x');
    Diagnostics engine;
    engine.log.SetPath(dir.File("engine.log"));
    ExpansionJob job;
    job.engine = &engine;
    job.downloadedFile = dir.File("a.da_");
    job.targetPath = dir.File("a.dat");
    job.expectedSize = 5000;
    job.expectedFileId = IdOf(plain);
    job.timestamp.year = 2001;
    job.timestamp.month = 1;
    job.timestamp.day = 2;
    job.expandTool = dir.File("no-such-expand.exe");
    // A staging file that a killed expansion left is no obstacle.
    ASSERT_TRUE(WriteWholeFile(job.targetPath + ".hvinstall", "left by a kill"));
    ASSERT_TRUE(WriteWholeFile(job.downloadedFile, Compressed(plain)));
    EXPECT_TRUE(ExpandFile(job));
    EXPECT_EQ(plain, ReadWholeFile(job.targetPath));
    EXPECT_FALSE(FileExists(job.downloadedFile) || FileExists(job.targetPath + ".hvinstall"));
    EXPECT_EQ("\r\nExpanding file, param: \"" + job.downloadedFile + "\" \"" + job.targetPath +
                  ".hvinstall\"... failed, trying LZCopy.",
              ReadWholeFile(dir.File("engine.log")));

    // Content of the right size that is not the image's, and the wrong size: the old file
    // stays, the user is told, and the entry counts as failed.
    const std::string other(5000, 'y');
    uirobot::WindowFilter own;
    own.processId = GetCurrentProcessId();
    struct Case {
        std::string content;
        uint32_t expectedSize;
        int textId;
        std::string report;
    };
    const Case cases[] = {
        {other, 5000, IDS_WRONG_CONTENT,
         "The expanded file " + job.targetPath + " does not have the content that the update image describes (file Id " +
             IdOf(other).substr(2) + ", expected " + IdOf(plain) + "); it was not installed."},
        {plain, 4000, IDS_EXPANDED_SIZE,
         "The expanded file " + job.targetPath +
             " was expected to be  4000 bytes in size but is actually  5000 bytes long."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.report);
        engine.errorReport.Clear();
        ASSERT_TRUE(WriteWholeFile(job.downloadedFile, Compressed(c.content)));
        job.expectedSize = c.expectedSize;
        char installed = 1;
        job.installed = &installed;
        uirobot::BoxWatcher boxes(own);
        EXPECT_FALSE(ExpandFile(job));
        EXPECT_EQ(0, installed);
        ASSERT_TRUE(boxes.WaitForCount(1, 10000));
        EXPECT_EQ("Error", boxes.Seen()[0].caption);
        const std::string expectedBox = c.textId == IDS_WRONG_CONTENT
                                            ? FormatMessageText(c.textId, job.targetPath.c_str())
                                            : FormatMessageText(c.textId, job.targetPath.c_str(), 4000u, 5000u);
        EXPECT_EQ(expectedBox, boxes.Seen()[0].text);
        EXPECT_EQ(plain, ReadWholeFile(job.targetPath)) << "the installed file was replaced";
        EXPECT_FALSE(FileExists(job.targetPath + ".hvinstall") || FileExists(job.downloadedFile));
        // The computed Id begins with the minute digits of the file's time.
        const std::vector<std::string> texts = engine.errorReport.Texts();
        ASSERT_EQ(1u, texts.size());
        std::string report = texts[0];
        const size_t id = report.find("(file Id ");
        if (id != std::string::npos) report.erase(id + 9, 2);
        EXPECT_EQ(c.report, report);
    }
}

// The system's expand tool is started by its full path: one that lies in the current
// directory (or the application's) is never taken for it.
TEST(ExpandFile, AnExpandToolBesideTheApplicationIsNotStarted) {
    ScratchDirectory dir("expand-planted");
    ASSERT_TRUE(CopyFileA(ChildProgram().c_str(), dir.File("expand.exe").c_str(), FALSE));
    char previous[MAX_PATH] = "";
    GetCurrentDirectoryA(sizeof previous, previous);
    ASSERT_TRUE(SetCurrentDirectoryA(dir.path().c_str()));
    Diagnostics engine;
    ExpansionJob job;
    job.engine = &engine;
    job.downloadedFile = dir.File("b.bi_");
    job.targetPath = dir.File("b.bin");
    job.expectedSize = 4096;
    job.expectedFileId = IdOf(Sample(4096));
    job.timestamp.year = 2001;
    job.timestamp.month = 1;
    job.timestamp.day = 2;
    ASSERT_TRUE(WriteWholeFile(job.downloadedFile, Compressed(Sample(4096))));
    engine.log.SetPath(dir.File("engine.log"));
    uirobot::WindowFilter own;
    own.processId = GetCurrentProcessId();
    uirobot::BoxWatcher boxes(own);
    const bool installed = ExpandFile(job);
    SetCurrentDirectoryA(previous);
    EXPECT_TRUE(installed) << ReadWholeFile(dir.File("engine.log"));
    EXPECT_TRUE(ReadWholeFile(job.targetPath) == Sample(4096));
    EXPECT_EQ(0u, boxes.Count());
    EXPECT_FALSE(FileExists(dir.File("runs.log"))) << "the planted program ran";
}
