// The update-image parser: the worked example end to end and the rules that are easy to
// get wrong (sections, directives, abandoned sections, quotes, comments, dates).
#include <gtest/gtest.h>
#include "engine/tests/worked_example_image.h"

#include <cstring>
#include <vector>

#include "engine/image_parser.h"

namespace {

// Parses a copy of text held in a block of exactly its size (no terminating zero).
void ParseInto(UpdateImage& image, const std::string& text) {
    std::vector<char> buffer(text.begin(), text.end());
    ParseImage(image, buffer.data(), buffer.size());
}

UpdateImage Parse(const std::string& text) {
    UpdateImage image;
    image.site = "ownhost";
    image.userName = "owner";
    image.password = "pw";
    ParseInto(image, text);
    return image;
}

std::string Stamp(const ImageTime& t) {
    char text[64];
    snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u/%u/%u", t.year, t.month, t.day,
             t.hour, t.minute, t.second, t.dayOfWeek, t.milliseconds);
    return text;
}

std::vector<std::string> Sites(const std::vector<ImageFileEntry>& files) {
    std::vector<std::string> sites;
    for (const auto& f : files) sites.push_back(f.site);
    return sites;
}

std::vector<std::string> Remotes(const std::vector<ImageFileEntry>& files) {
    std::vector<std::string> paths;
    for (const auto& f : files) paths.push_back(f.remotePath);
    return paths;
}

}  // namespace

TEST(ImageParser, WorkedExample) {
    UpdateImage image = Parse(kWorkedExample);
    EXPECT_EQ("otherhost", image.site);
    EXPECT_EQ("owner", image.userName);
    EXPECT_EQ("pw", image.password);
    EXPECT_EQ("Tools", image.currentModuleName);
    EXPECT_EQ("Handy tools", image.currentModuleDescription);

    ASSERT_EQ(2u, image.patchSteps.size());
    const ImagePatchStep& a = image.patchSteps[0];
    EXPECT_EQ("ownhost", a.site);
    EXPECT_EQ("owner", a.userName);
    EXPECT_EQ("pw", a.password);
    EXPECT_EQ("patches/p56.rtp", a.remotePath);
    EXPECT_EQ(5, a.fromVersion);
    EXPECT_EQ(6, a.toVersion);
    EXPECT_EQ(1200u, a.downloadSize);
    const ImagePatchStep& b = image.patchSteps[1];
    EXPECT_EQ("ownhost", b.site);
    EXPECT_EQ("patches/p67.rtp", b.remotePath);
    EXPECT_EQ(6, b.fromVersion);
    EXPECT_EQ(7, b.toVersion);
    EXPECT_EQ(900u, b.downloadSize);

    EXPECT_EQ(std::vector<std::string>{"old\\readme.txt"}, image.deleteFiles);

    ASSERT_EQ(1u, image.mandatoryFiles.size());
    const ImageFileEntry& app = image.mandatoryFiles[0];
    EXPECT_EQ("otherhost", app.site);
    EXPECT_EQ("owner", app.userName);
    EXPECT_EQ("pw", app.password);
    EXPECT_EQ("bin/app.exe", app.remotePath);
    EXPECT_EQ("app.exe", app.localPath);
    EXPECT_EQ(960u, app.expectedSize);
    EXPECT_EQ(480u, app.downloadSize);
    EXPECT_EQ("[exec]", app.flags);
    EXPECT_EQ("07A1B2C3D4", app.fileId);
    EXPECT_EQ("1999-12-31 23:59:59/0/0", Stamp(app.timestamp));

    EXPECT_TRUE(image.engineFiles.empty());
    ASSERT_EQ(1u, image.modules.size());
    const ImageModule& tools = image.modules.at("Tools");
    EXPECT_EQ("Tools", tools.name);
    EXPECT_EQ("Handy tools", tools.description);
    ASSERT_EQ(1u, tools.files.size());
    const ImageFileEntry& t = tools.files[0];
    EXPECT_EQ("otherhost", t.site);
    EXPECT_EQ("owner", t.userName);
    EXPECT_EQ("tools/t.exe", t.remotePath);
    EXPECT_EQ("tools\\t.exe", t.localPath);
    EXPECT_EQ(1000u, t.expectedSize);
    EXPECT_EQ(800u, t.downloadSize);
    EXPECT_EQ("none", t.flags);
    EXPECT_EQ("", t.fileId);
    EXPECT_EQ("2001-01-02 01:05:00/0/0", Stamp(t.timestamp));
}

TEST(ImageParser, PreparingTheTextBlanksCommentsAndTabsInPlace) {
    std::string text = "[VERSION 1]\n[Mandatory]\t' note\r\nDELETE FILE it's gone\r\nDELETE\tFILE x\n";
    std::vector<char> buffer(text.begin(), text.end());
    UpdateImage image;
    ParseImage(image, buffer.data(), buffer.size());
    EXPECT_EQ("[VERSION 1]\n[Mandatory]        \nDELETE FILE it        \nDELETE FILE x\n",
              std::string(buffer.begin(), buffer.end()));
    EXPECT_EQ((std::vector<std::string>{"it", "x"}), image.deleteFiles);
}

TEST(ImageParser, FirstHeaderMustBeVersion) {
    EXPECT_TRUE(Parse("[Patches]\nFROM V1 TO V2 p.rtp 10\n").patchSteps.empty());
    EXPECT_TRUE(Parse("[VERSION]\n[Patches]\nFROM V1 TO V2 p.rtp 10\n").patchSteps.empty());
    EXPECT_TRUE(Parse("").patchSteps.empty());
    // Text before the first '[' is passed over; both VERSION forms and any case are fine.
    EXPECT_EQ(1u, Parse("hello\n[VERSION 3 TO 5]\n[Patches]\nFROM V1 TO V2 p 1\n").patchSteps.size());
    EXPECT_EQ(1u, Parse("[version 5]\n[patches]\nfrom v5 to v7 p.rtp 10\n").patchSteps.size());

    UpdateImage image = Parse("[VERSION 7]\n[Patches]\nFROM V5 TO V7 patch\\p57.rtp 512");
    ASSERT_EQ(1u, image.patchSteps.size());
    EXPECT_EQ("patch/p57.rtp", image.patchSteps[0].remotePath);
    EXPECT_EQ(5, image.patchSteps[0].fromVersion);
    EXPECT_EQ(7, image.patchSteps[0].toVersion);
    EXPECT_EQ(512u, image.patchSteps[0].downloadSize);
}

TEST(ImageParser, FileLineForms) {
    ImageFileEntry e;
    e.site = "kept";
    ASSERT_TRUE(ParseFileLine("FILE web\\a.dll sub/dir/a.dll 10 20 3/4/2005 6:07:08 [exec] 1234567890", e));
    EXPECT_EQ("kept", e.site);
    EXPECT_EQ("web/a.dll", e.remotePath);
    EXPECT_EQ("sub\\dir\\a.dll", e.localPath);
    EXPECT_EQ("1234567890", e.fileId);

    ASSERT_TRUE(ParseFileLine("file a    b   1 2 3/4/5 6:7:8    [EXEC]", e));
    EXPECT_EQ("a", e.remotePath);
    EXPECT_EQ("b", e.localPath);
    EXPECT_EQ("[EXEC]", e.flags);
    EXPECT_EQ("", e.fileId);
    EXPECT_EQ("0005-03-04 06:07:08/0/0", Stamp(e.timestamp));

    // Quoted paths keep their blanks and lose the quotes.
    ASSERT_TRUE(ParseFileLine("FILE \"web dir/a b.dll\" \"Program Files/a b.dll\" 1 2 1/1/99 1:0:0 x", e));
    EXPECT_EQ("web dir/a b.dll", e.remotePath);
    EXPECT_EQ("Program Files\\a b.dll", e.localPath);
    // A ninth field stays with the file Id, as the last field takes the rest.
    ASSERT_TRUE(ParseFileLine("FILE a b 1 2 1/1/99 1:0:0 x 0123456789 extra", e));
    EXPECT_EQ("0123456789 extra", e.fileId);

    const ImageFileEntry before = e;
    EXPECT_FALSE(ParseFileLine("FILE a b 1 2 1/1/99 1:0:0", e));             // six fields
    EXPECT_FALSE(ParseFileLine("FILE  a b 1 2 1/1/99 1:0:0 x", e));          // two blanks after FILE
    EXPECT_FALSE(ParseFileLine("FILE a b 1 2 1 1:0:0 x", e));                // date ends after the month
    EXPECT_FALSE(ParseFileLine("FILE a b 1 2 1/1/99 1:0 x", e));             // time ends after a separator
    EXPECT_FALSE(ParseFileLine("FILES a b 1 2 1/1/99 1:0:0 x", e));
    EXPECT_EQ(before.remotePath, e.remotePath);
    EXPECT_EQ(before.fileId, e.fileId);
}

TEST(ImageParser, DatesAndTimes) {
    struct Case { const char* date; const char* time; bool ok; const char* stamp; };
    const Case cases[] = {
        {"12/31/99", "11:59:59PM", true, "1999-12-31 23:59:59/0/0"},
        {"1/2/2001", "1:05:00", true, "2001-01-02 01:05:00/0/0"},
        {"1/2/00", "1:05:00pm", true, "1900-01-02 13:05:00/0/0"},
        {"1-2-199", "12:00:00PM", true, "0199-01-02 12:00:00/0/0"},
        {"1.2.0099", "12:00:00AM", true, "0099-01-02 12:00:00/0/0"},
        {"12/", "0:00:00PM", true, "0000-12-00 00:00:00/0/0"},
        {"x", "13:00:00P", true, "0000-00-00 13:00:00/0/0"},
        {"7/8/9", "11:1:1 PM", true, "0009-07-08 11:01:01/0/0"},
        {"99999/1/1", "1:2:99999", true, "0001-65535-01 01:02:65535/0/0"},
        {"12", "1:0:0", false, ""},
        {"", "1:0:0", false, ""},
        {"1/1/1", "1:05:", false, ""},
        {"1/1/1", "1:", false, ""},
        {"1/1/1", "1", false, ""},
    };
    for (const Case& c : cases) {
        ImageTime t;
        const bool ok = ParseImageDate(c.date, t) && ParseImageTime(c.time, t);
        EXPECT_EQ(c.ok, ok) << c.date << " " << c.time;
        if (c.ok) {
            EXPECT_EQ(c.stamp, Stamp(t)) << c.date << " " << c.time;
        }
    }
}

TEST(ImageParser, DirectivesInAndBetweenSections) {
    const UpdateImage image = Parse(
        "[VERSION 2]\n"
        "[Mandatory]\n"
        "FILE a a 1 1 1/1/99 1:0:0 x\n"
        "  [base url mirror]\n"
        "FILE b b 1 1 1/1/99 1:0:0 x\n"
        "[BASE AUTH pub two words]\n"
        "FILE c c 1 1 1/1/99 1:0:0 x\n"
        "[BASE URL]\n"  // does not fit: ignored
        "FILE d d 1 1 1/1/99 1:0:0 x\n"
        "[Halvorin]\n"
        "FILE e e 1 1 1/1/99 1:0:0 x\n"
        "[BASE URL third]\n"
        "[BASE AUTH solo]\n"  // does not fit: ignored
        "[Patches]\n"
        "FROM V1 TO V2 p 1\n");
    EXPECT_EQ((std::vector<std::string>{"ownhost", "mirror", "mirror", "mirror"}), Sites(image.mandatoryFiles));
    EXPECT_EQ("owner", image.mandatoryFiles[1].userName);
    EXPECT_EQ("pub", image.mandatoryFiles[2].userName);
    EXPECT_EQ("two words", image.mandatoryFiles[2].password);
    ASSERT_EQ(1u, image.engineFiles.size());
    EXPECT_EQ("mirror", image.engineFiles[0].site);
    ASSERT_EQ(1u, image.patchSteps.size());
    EXPECT_EQ("third", image.patchSteps[0].site);
    EXPECT_EQ("pub", image.patchSteps[0].userName);
    EXPECT_EQ("two words", image.patchSteps[0].password);
    EXPECT_EQ("third", image.site);
}

TEST(ImageParser, HeaderPrecedence) {
    UpdateImage image = Parse(
        "[VERSION 2]\n"
        "[Extra Patches]\n"
        "FROM V1 TO V2 a 1\n"
        "[Mandatory Patches]\n"
        "FROM V2 TO V3 b 1\n"
        "FILE x x 1 1 1/1/99 1:0:0 x\n"  // not a patch line: abandons
        "[Some Halvorin Modules]\n"
        "FILE m m 1 1 1/1/99 1:0:0 x\n"
        "[Nothing]\n"
        "FILE w w 1 1 1/1/99 1:0:0 x\n"
        // Read by the top level this is section Patches, since it holds that word...
        "[BASE URL patches.example.com]\n"
        "FROM V3 TO V4 c 1\n"
        "[Mandatory]\n"
        "FILE y y 1 1 1/1/99 1:0:0 x\n"
        // ...while inside a section it is a directive.
        "[BASE URL patches.example.com]\n"
        "FILE z z 1 1 1/1/99 1:0:0 x\n");
    ASSERT_EQ(3u, image.patchSteps.size());
    EXPECT_EQ("c", image.patchSteps[2].remotePath);
    EXPECT_EQ("ownhost", image.patchSteps[2].site);
    EXPECT_EQ((std::vector<std::string>{"y", "z"}), Remotes(image.mandatoryFiles));
    EXPECT_EQ((std::vector<std::string>{"ownhost", "patches.example.com"}), Sites(image.mandatoryFiles));
    ASSERT_EQ(1u, image.modules.count(""));
    EXPECT_EQ(1u, image.modules[""].files.size());
    EXPECT_TRUE(image.engineFiles.empty());
}

TEST(ImageParser, AbandonedSectionSkipsToTheNextBracketAnywhere) {
    const UpdateImage image = Parse(
        "[VERSION 2]\n"
        "[Mandatory]\n"
        "FILE a a 1 1 1/1/99 1:0:0 x\n"
        "HELLO\n"
        "FILE lost1 l 1 1 1/1/99 1:0:0 x\n"
        "FILE lost2 l 1 1 1/1/99 1:0:0 [exec] 0123456789\n"  // "[exec" becomes a header
        "FILE lost3 l 1 1 1/1/99 1:0:0 x\n"
        "[Mandatory]\n"
        "FILE b b 1 1 1/1/99 1:0:0 x\n"
        "FILE c c 1 1 1/1/99 1:0:0 x\n"
        "[Halvorin]\n"
        "FILE a b 1 1 1/1/99 1:0:0\n"  // six fields
        "FILE e e 1 1 1/1/99 1:0:0 x\n"
        "[Modules]\n"
        "MODULEX\n"
        "FILE f f 1 1 1/1/99 1:0:0 x\n");
    EXPECT_EQ((std::vector<std::string>{"a", "b", "c"}), Remotes(image.mandatoryFiles));
    EXPECT_TRUE(image.engineFiles.empty());
    EXPECT_TRUE(image.modules.empty());
}

TEST(ImageParser, Modules) {
    UpdateImage image = Parse(
        "[VERSION 2]\n"
        "[Modules]\n"
        "FILE early e 1 1 1/1/99 1:0:0 x\n"
        "MODULE Tools Handy tools\n"
        "FILE t1 t1 1 1 1/1/99 1:0:0 x\n"
        "FILE t2 t2 1 1 1/1/99 1:0:0 x\n"
        "module Docs\n"
        "FILE d1 d1 1 1 1/1/99 1:0:0 x\n"
        "MODULE Empty nothing follows\n"
        "MODULE Tools\n"
        "FILE t3 t3 1 1 1/1/99 1:0:0 x\n"
        "[Modules]\n"
        "FILE t4 t4 1 1 1/1/99 1:0:0 x\n");
    ASSERT_EQ(3u, image.modules.size());
    EXPECT_EQ(std::vector<std::string>{"early"}, Remotes(image.modules[""].files));
    EXPECT_EQ("", image.modules[""].name);
    EXPECT_EQ(std::vector<std::string>{"d1"}, Remotes(image.modules["Docs"].files));
    EXPECT_EQ("", image.modules["Docs"].description);
    const ImageModule& tools = image.modules["Tools"];
    EXPECT_EQ((std::vector<std::string>{"t1", "t2", "t3", "t4"}), Remotes(tools.files));
    // The one-field MODULE line cleared the description, and every file refreshes it.
    EXPECT_EQ("", tools.description);
    EXPECT_EQ(0u, image.modules.count("Empty"));
    // Byte-wise, case-sensitive keys, in key order.
    EXPECT_EQ("Docs", std::next(image.modules.begin())->first);
}

TEST(ImageParser, QuotesInPatchAndDeleteLines) {
    const UpdateImage image = Parse(
        "[VERSION 2]\n"
        "[Patches]\n"
        "FROM V-1 TO V+2 \"patch files\\p 1.rtp\" \" 2048\"\n"
        "[Mandatory]\n"
        "DELETE FILE   \"old stuff\\x y.txt\"\n"
        "delete file a/b c\n"
        "FILE \"caf\xFF dir/x\" \"caf\xFF dir/x\" 1 1 1/1/99 1:0:0 \"[exec] now\"\n");
    ASSERT_EQ(1u, image.patchSteps.size());
    EXPECT_EQ(-1, image.patchSteps[0].fromVersion);
    EXPECT_EQ(2, image.patchSteps[0].toVersion);
    EXPECT_EQ("patch files/p 1.rtp", image.patchSteps[0].remotePath);
    EXPECT_EQ(2048u, image.patchSteps[0].downloadSize);
    EXPECT_EQ((std::vector<std::string>{"old stuff\\x y.txt", "a/b c"}), image.deleteFiles);
    ASSERT_EQ(1u, image.mandatoryFiles.size());
    // 0xFF stands for itself; flags are taken as matched, with the blank still protected.
    EXPECT_EQ("caf\xFF dir/x", image.mandatoryFiles[0].remotePath);
    EXPECT_EQ("caf\xFF dir\\x", image.mandatoryFiles[0].localPath);
    EXPECT_EQ("[exec]\xFFnow", image.mandatoryFiles[0].flags);
}

TEST(ImageParser, LineEndsAndTheEndOfTheText) {
    // CR alone, LF CR, blank lines; a header may run over line ends.
    UpdateImage image = Parse("[VERSION 1]\r[Mandatory\n]\n\r\n\n\r\rFILE a a 1 1 1/1/99 1:0:0 x\n\r"
                              "DELETE FILE z");
    EXPECT_EQ(1u, image.mandatoryFiles.size());
    EXPECT_EQ(std::vector<std::string>{"z"}, image.deleteFiles);

    // A header whose line ends the text is not acted upon between sections...
    EXPECT_EQ("ownhost", Parse("[VERSION 1]\n[BASE URL late]\n").site);
    EXPECT_EQ("ownhost", Parse("[VERSION 1]\n[BASE URL late]").site);
    EXPECT_EQ("early", Parse("[VERSION 1]\n[BASE URL early]\n[x]\n").site);
    // ...but inside a section a directive on the last line still applies.
    EXPECT_EQ("late", Parse("[VERSION 1]\n[Mandatory]\n[BASE URL late]").site);
    EXPECT_EQ("late", Parse("[VERSION 1]\n[Mandatory]\n[BASE URL late").site);
    // Unclosed headers end the parse.
    EXPECT_TRUE(Parse("[VERSION 1]\n[Mandatory\nFILE a a 1 1 1/1/99 1:0:0 x\n").mandatoryFiles.empty());

    // The length bounds the text even when more bytes follow in the buffer.
    std::string text = "[VERSION 1]\n[Mandatory]\nFILE a a 1 1 1/1/99 1:0:0 x 0123456789XYZ";
    std::vector<char> buffer(text.begin(), text.end());
    UpdateImage cut;
    ParseImage(cut, buffer.data(), buffer.size() - 3);
    ASSERT_EQ(1u, cut.mandatoryFiles.size());
    EXPECT_EQ("0123456789", cut.mandatoryFiles[0].fileId);
    ParseImage(cut, nullptr, 0);
    EXPECT_EQ(1u, cut.mandatoryFiles.size());
}

TEST(ImageParser, SecondParseKeepsSiteCredentialsAndCurrentModule) {
    UpdateImage image = Parse(
        "[VERSION 1]\n[BASE URL mirror]\n[BASE AUTH u p w]\n[Modules]\nMODULE Tools Handy tools\n"
        "FILE a a 1 1 1/1/99 1:0:0 x\n");
    image.modules.clear();
    ParseInto(image, "[VERSION 1]\n[Modules]\nFILE b b 1 1 1/1/99 1:0:0 x\n");
    EXPECT_EQ("mirror", image.site);
    EXPECT_EQ("u", image.userName);
    EXPECT_EQ("p w", image.password);
    ASSERT_EQ(1u, image.modules.size());
    const ImageModule& tools = image.modules.at("Tools");
    EXPECT_EQ("Handy tools", tools.description);
    ASSERT_EQ(1u, tools.files.size());
    EXPECT_EQ("mirror", tools.files[0].site);
    EXPECT_EQ("p w", tools.files[0].password);
}
