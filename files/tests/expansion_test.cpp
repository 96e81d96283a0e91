// ExpandFile on its own: the LZ functions when the expand tool cannot be started, and a
// target that does not come out as the image describes it.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "common/message_texts.h"
#include "files/expansion.h"
#include "tests/helpers/test_support.h"
#include "tests/robot/ui_robot.h"

using namespace testing_support;

namespace {

// The compressed form that the LZ functions read, with every byte stored as a literal:
// enough to check the expansion path without a compressor.
std::string StoredSzdd(const std::string& plain) {
    std::string out = "SZDD\x88\xF0\x27\x33";
    out += 'A';
    out += '_';
    const uint32_t size = static_cast<uint32_t>(plain.size());
    for (int i = 0; i < 4; ++i) out += static_cast<char>((size >> (8 * i)) & 0xFF);
    for (size_t at = 0; at < plain.size(); at += 8) {
        out += '\xFF';  // eight literals follow
        out += plain.substr(at, 8);
    }
    return out;
}

}  // namespace

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
    ASSERT_TRUE(WriteWholeFile(job.downloadedFile, StoredSzdd(plain)));
    EXPECT_TRUE(ExpandFile(job));
    EXPECT_EQ(plain, ReadWholeFile(job.targetPath));
    EXPECT_FALSE(FileExists(job.downloadedFile) || FileExists(job.downloadedFile + "_"));
    EXPECT_EQ("\r\nExpanding file, param: \"" + job.downloadedFile + "\" \"" + job.downloadedFile +
                  "_\"... failed, trying LZCopy.",
              ReadWholeFile(dir.File("engine.log")));

    // The image says 4000 bytes: the file stays, the user is told, and it counts as failed.
    ASSERT_TRUE(WriteWholeFile(job.downloadedFile, StoredSzdd(plain)));
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
