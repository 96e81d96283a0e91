// Brannock's code without Windows API, under the sanitizers: Config.Ins, texts cut to
// their buffers, the install dialog's bars and debugger texts.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "brannock/config_file.h"
#include "brannock/install_progress.h"
#include "brannock/text_cut.h"

namespace {

bool ReadConfig(const std::string& content, InstallConfig* config) {
    std::FILE* file = std::tmpfile();
    if (!file) return false;
    std::fwrite(content.data(), 1, content.size(), file);
    std::rewind(file);
    const bool read = ReadInstallConfig(file, config);
    std::fclose(file);
    return read;
}

TEST(ConfigFile, LinesAreCountedCleanedAndCut) {
    InstallConfig config;
    EXPECT_FALSE(ReadConfig("/image.txt\r\nreferer\r\n", &config));
    ASSERT_TRUE(ReadConfig("a\nb\nc\n\tuser \n", &config));  // a user name never goes alone
    EXPECT_STREQ("", config.lines[kUserNameLine]);
    ASSERT_TRUE(ReadConfig("a\nb\nc\n\tuser \n  \n", &config));
    EXPECT_STREQ("\tuser", config.lines[kUserNameLine]);
    EXPECT_STREQ("", config.lines[kPasswordLine]);
    // An overlong line is cut, and its rest is no setting of its own.
    const std::string longPath(1500, 'p');
    ASSERT_TRUE(ReadConfig(longPath + "\nreferer\nsite", &config));
    EXPECT_EQ(longPath.substr(0, kConfigLineSize - 1), config.lines[kImagePathLine]);
    EXPECT_STREQ("referer", config.lines[kRefererLine]);
    EXPECT_FALSE(ReadConfig(longPath + "\n" + longPath + "\n", &config));
    // A zero byte ends its setting but not its line: the next line stays the next setting.
    ASSERT_TRUE(ReadConfig(std::string("/image.txt\0junk\nreferer\nsite\n", 29), &config));
    EXPECT_STREQ("/image.txt", config.lines[kImagePathLine]);
    EXPECT_STREQ("referer", config.lines[kRefererLine]);
    EXPECT_STREQ("site", config.lines[kUrlLine]);
    // The sixth line is the publisher's key, read only after the credentials' lines.
    ASSERT_TRUE(ReadConfig("a\nb\nc\nuser\npass\n halvorin-p256:ab \r\nseventh\n", &config));
    EXPECT_STREQ("halvorin-p256:ab", config.lines[kPublisherKeyLine]);
    ASSERT_TRUE(ReadConfig("a\nb\nc\nuser\n", &config));
    EXPECT_STREQ("", config.lines[kPublisherKeyLine]);
}

TEST(TextCut, CopiesStayInTheirBufferAndPathsSplit) {
    char buffer[8];
    EXPECT_FALSE(CopyCut(buffer, sizeof buffer, "12345678"));
    EXPECT_STREQ("1234567", buffer);
    EXPECT_TRUE(CopyCut(buffer, sizeof buffer, "C:\\a"));
    EXPECT_FALSE(AppendCut(buffer, sizeof buffer, "\\bcdef"));
    EXPECT_STREQ("C:\\a\\bc", buffer);
    EXPECT_STREQ("new.dll", FileNamePart("C:\\setup\\Download/new.dll", true));
    EXPECT_STREQ("Download/new.dll", FileNamePart("C:\\setup\\Download/new.dll", false));
    EXPECT_EQ(8u, DirectoryLength("C:\\setup\\Brannock.dll"));
    EXPECT_EQ((std::vector<std::string>{"C:\\d/a.exe", "b.dll"}), SplitPathList("C:\\d/a.exe||b.dll|"));
}

TEST(InstallProgressTest, TheOverallBarMovesInItsRangeForAnyFileCount) {
    InstallProgress progress;
    progress.FileCount(4);
    EXPECT_EQ(12, progress.FileProgress(kFileComplete / 2, true).overallBar);
    for (int file = 1; file <= 4; ++file) EXPECT_EQ(25 * file, progress.FileDone(true).overallBar);
    EXPECT_EQ(100, progress.FileDone(true).overallBar);  // more files than announced
    const ProgressView above = progress.FileProgress(kFileComplete + 1, true);
    EXPECT_FALSE(above.setBars);
    EXPECT_TRUE(above.repaint);
    progress.FileCount(7);
    for (int file = 1; file < 7; ++file) progress.FileDone(false);
    EXPECT_EQ(100, progress.FileDone(true).overallBar);
    for (const int32_t count : {0, -3}) {  // an empty patch
        progress.FileCount(count);
        EXPECT_EQ(0, progress.FileProgress(kFileComplete, true).overallBar);
        EXPECT_EQ(0, progress.FileDone(true).overallBar);
    }
}

TEST(DebugText, LongTextsAreCutWithTheirLineEnd) {
    char text[kDebugTextSize];
    FormatDebugText(text, kFilePercentFormat, FilePercent(kFileComplete / 2));
    EXPECT_STREQ("% Of this file completed: 50.00\r\n", text);
    FormatDebugText(text, DebugFormatOf(22), "searching");
    EXPECT_STREQ("Unhandle message\r\n", text);
    FormatDebugText(text, DebugFormatOf(7), std::string(3000, 'n').c_str());
    const std::string cut = text;
    EXPECT_EQ(kDebugTextSize - 1, cut.size());
    EXPECT_EQ("n\r\n", cut.substr(cut.size() - 3));
}

}  // namespace
