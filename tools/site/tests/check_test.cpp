// halvorin-site check against the engine's reading: images that the engine reads
// otherwise than line by line, each with the problems check must report (and no others),
// on a site that publish made.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tools/site/tests/tool_test_files.h"

namespace {

using namespace site_tool_test;

// The line of text that begins with start, with its line end.
std::string LineOf(const std::string& text, const std::string& start) {
    const size_t at = text.find(start);
    return at == std::string::npos ? std::string() : text.substr(at, text.find("\r\n", at) + 2 - at);
}

class Check : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string pattern = ::testing::TempDir() + "check_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern.data()));
        dir_ = new std::string(pattern);
        const std::string program = RandomBytes(50000, 3);
        WriteAll(*dir_ + "/r/v1/app.exe", program);
        WriteAll(*dir_ + "/r/v2/app.exe", program.substr(0, 40000) + "v2" + program.substr(40002));
        WriteAll(*dir_ + "/r/v1/lib/core.dll", RandomBytes(3000, 4));
        WriteAll(*dir_ + "/r/v2/lib/core.dll", RandomBytes(3000, 5));
        WriteAll(*dir_ + "/r/v1/old.txt", "dropped by release 2");
        WriteAll(*dir_ + "/r/site.txt", "site 127.0.0.1\nrelease 1 v1\nrelease 2 v2\nmandatory app.exe\nmandatory lib/*\n");
        std::string output;
        ASSERT_EQ(0, Tool("publish " + *dir_ + "/r/site.txt " + Site(), &output)) << output;
        const std::string image = ReadAll(Site() + "/image.txt");
        patch_ = new std::string(LineOf(image, "FROM V1 TO V2"));
        app_ = new std::string(LineOf(image, "FILE /files/app.exe_"));
        core_ = new std::string(LineOf(image, "FILE /files/lib/core.dll_"));
        ASSERT_FALSE(patch_->empty() || app_->empty() || core_->empty()) << image;
    }
    static void TearDownTestSuite() { system(("rm -rf '" + *dir_ + "'").c_str()); }

    static std::string Site() { return *dir_ + "/site"; }

    static int Tool(const std::string& arguments, std::string* output) {
        return RunTool(arguments, *dir_ + "/output.txt", output);
    }

    // The problems check reports for the image text, served as /case.img of the site.
    static std::vector<std::string> Problems(const std::string& image) {
        WriteAll(Site() + "/case.img", image);
        std::string output;
        const int code = Tool("check " + Site() + " /case.img", &output);
        std::vector<std::string> lines;
        std::istringstream in(output);
        for (std::string line; std::getline(in, line);) {
            if (line.find("no problems") == std::string::npos) lines.push_back(line);
        }
        EXPECT_EQ(lines.empty() ? 0 : 1, code) << output;
        return lines;
    }

    static std::string* dir_;
    static std::string* patch_;
    static std::string* app_;
    static std::string* core_;
};

std::string* Check::dir_ = nullptr;
std::string* Check::patch_ = nullptr;
std::string* Check::app_ = nullptr;
std::string* Check::core_ = nullptr;

std::string Tabbed(std::string line) {
    for (char& c : line) c = c == ' ' ? '\t' : c;
    return line;
}

// The line with the installed size one more than it is.
std::string WrongSize(const std::string& line) {
    std::istringstream in(line);
    std::string file, remote, local, size;
    in >> file >> remote >> local >> size;
    const size_t at = line.find(" " + size + " ");
    return line.substr(0, at + 1) + std::to_string(std::stoul(size) + 1) + line.substr(at + 1 + size.size());
}

TEST_F(Check, ReportsWhatTheEngineReadsAndOnlyThat) {
    const std::string start = "[VERSION 2]\r\n";
    const std::string missing = "FILE /files/missing.bin_ m.bin 10 10 1/1/2001 1:00:00 none 00AAAAAAAA\r\n";
    struct Case {
        const char* what;
        std::string image;
        std::vector<std::string> problems;  // each the start of one reported line, in order
    };
    const std::vector<Case> cases = {
        {"the published image", start + "[Patches]\r\n" + *patch_ + "[Mandatory]\r\n" + *app_ + *core_, {}},
        {"backslashes in a patch path, which the engine turns into slashes",
         start + "[Patches]\r\n" + [] {
             std::string line = *patch_;
             line.replace(line.find("/patches/"), 9, "\\patches\\");
             return line;
         }() + "[Mandatory]\r\n" + *app_ + *core_,
         {}},
        {"a misspelt section, whose lines the engine skips",
         start + "[Mandtory]\r\n" + missing,
         {"/case.img:2: [Mandtory] names no section"}},
        {"lines after one the engine cannot read are lost",
         start + "[Mandatory]\r\n" + *app_ + "HELLO\r\n" + missing,
         {"/case.img:4: \"HELLO\" fits no line form of section Mandatory"}},
        {"a FILE line separated by tabs is read",
         start + "[Mandatory]\r\n" + Tabbed(WrongSize(*app_)),
         {"/case.img:3: /files/app.exe_ expands to 50000 bytes; the line says 50001"}},
        {"an image whose lines end with CR alone",
         "[VERSION 2]\r[Mandatory]\r" + missing.substr(0, missing.size() - 2) + "\r",
         {"/case.img:3: /files/missing.bin_ is missing from the site"}},
        {"files that a BASE URL sends to another host",
         start + "[Mandatory]\r\n[BASE URL otherhost]\r\n" + *app_,
         {"/case.img:4: /files/app.exe_ is fetched from the site otherhost (BASE URL)"}},
        {"an empty image", "", {"/case.img: the image is empty"}},
        {"an error page", "<html><body>Not found</body></html>\r\n", {"/case.img: no header ('[') found"}},
        {"no VERSION header", "[Patches]\r\n" + *patch_, {"/case.img:1: the first header [Patches] is not a VERSION header"}},
        {"a file both installed and deleted",
         start + "[Mandatory]\r\n" + *app_ + "DELETE FILE APP.EXE\r\n",
         {"/case.img:4: DELETE FILE APP.EXE names the file that line 3 installs"}},
        {"escapes that are none, and a path that leaves the site",
         start + "[Mandatory]\r\nFILE /files/%zz_ x 1 1 1/1/2001 1:00:00 none 00AAAAAAAA\r\n" +
             "FILE /../../../../etc/hostname y 1 1 1/1/2001 1:00:00 none 00AAAAAAAA\r\n",
         {"/case.img:3: /files/%zz_ is missing from the site", "/case.img:4: /../../../../etc/hostname names a file outside"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<std::string> problems = Problems(c.image);
        ASSERT_EQ(c.problems.size(), problems.size()) << ::testing::PrintToString(problems);
        for (size_t i = 0; i < problems.size(); ++i) EXPECT_EQ(0u, problems[i].find(c.problems[i])) << problems[i];
    }
}

// The image is found by its path on the site, by a file path, or not at all, with a reason.
TEST_F(Check, TheImageAndTheSiteAreNamedWhenTheyCannotBeRead) {
    std::string output;
    EXPECT_EQ(0, Tool("check " + Site() + " /image.txt", &output)) << output;
    EXPECT_EQ(0, Tool("check " + Site() + " " + Site() + "/image.txt", &output)) << output;
    EXPECT_EQ(1, Tool("check " + *dir_ + "/nowhere /image.txt", &output));
    EXPECT_NE(std::string::npos, output.find("the site folder " + *dir_ + "/nowhere does not exist")) << output;
    EXPECT_EQ(1, Tool("check " + Site() + " /none.txt", &output));
    EXPECT_NE(std::string::npos, output.find("neither a file of the site")) << output;
    EXPECT_EQ(1, Tool("check " + Site() + " http://127.0.0.1/image.txt", &output));
    EXPECT_NE(std::string::npos, output.find("check http://HOST /PATH")) << output;
}

}  // namespace
