// halvorin-site publish and check, run as a program on trees it is given; the compressor
// against Debian's msexpand.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tools/site/szdd.h"
#include "tools/site/tests/tool_test_files.h"

namespace {

using namespace site_tool_test;

class Publish : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = ::testing::TempDir() + "publish_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern.data()));
        dir_ = pattern;
    }
    void TearDown() override { system(("rm -rf '" + dir_ + "'").c_str()); }

    // Runs the tool; its exit code, with what it printed in *output.
    int Tool(const std::string& arguments, std::string* output) { return RunTool(arguments, dir_ + "/output.txt", output); }

    std::string dir_;
};

}  // namespace

TEST(Szdd, RoundTripsAndExpandsWithMsexpand) {
    const std::string text = [] {
        std::string t;
        for (int i = 0; i < 3000; ++i) t += "line " + std::to_string(i % 97) + " of a text that repeats\n";
        return t;
    }();
    const std::string samples[] = {"", "a", std::string(15, 'x'), RandomBytes(16, 1), RandomBytes(4095, 2),
                                   RandomBytes(4097, 3), RandomBytes(100000, 4), text, std::string(70000, ' ')};
    const std::string file = ::testing::TempDir() + "szdd_sample";
    for (const std::string& sample : samples) {
        SCOPED_TRACE(sample.size());
        const std::vector<uint8_t> plain(sample.begin(), sample.end());
        const std::vector<uint8_t> compressed = CompressSzdd(plain, 't');
        std::vector<uint8_t> expanded;
        ASSERT_TRUE(ExpandSzdd(compressed, &expanded));
        EXPECT_TRUE(expanded == plain);
        WriteAll(file, std::string(compressed.begin(), compressed.end()));
        ASSERT_EQ(0, system(("msexpand <'" + file + "' >'" + file + ".out'").c_str()));
        EXPECT_TRUE(ReadAll(file + ".out") == sample) << "msexpand reads it otherwise";
        if (sample == text) EXPECT_LT(compressed.size(), sample.size() / 4);
        // Cut short, it is no file.
        if (compressed.size() > 20) {
            EXPECT_FALSE(ExpandSzdd(std::vector<uint8_t>(compressed.begin(), compressed.end() - 3), &expanded));
        }
    }
}

TEST_F(Publish, PublishCheckAndRefuse) {
    const std::string program = RandomBytes(80000, 7);
    for (int v = 1; v <= 3; ++v) {
        std::string changed = program;
        changed.replace(1000 * v, 4, "ver" + std::to_string(v));
        WriteAll(dir_ + "/v" + std::to_string(v) + "/app.exe", changed);
        WriteAll(dir_ + "/v" + std::to_string(v) + "/lib/core.dll", RandomBytes(3000, 8) + std::to_string(v));
    }
    WriteAll(dir_ + "/v1/gone.txt", "dropped by release 2");
    WriteAll(dir_ + "/site.txt",
             "site 127.0.0.1\nrelease 1 v1\nrelease 2 v2\nrelease 3 v3\nmandatory app.exe [exec]\n"
             "mandatory lib/*.dll\nengine v3/lib/core.dll helper.dll\nmodule Tools \"Handy tools\"\n"
             "module-file v1/gone.txt docs/readme.txt\n");
    std::string output;
    ASSERT_EQ(0, Tool("publish " + dir_ + "/site.txt " + dir_ + "/site", &output)) << output;
    const std::string image = ReadAll(dir_ + "/site/image.txt");
    EXPECT_NE(std::string::npos, image.find("FROM V1 TO V2 /patches/p1-2.rtp ")) << image;
    EXPECT_EQ(ReadAll(dir_ + "/site/patches/p1-2.rtp")[8], 2);  // the format by default
    EXPECT_NE(std::string::npos, image.find("FILE /files/app.exe_ app.exe 80000 ")) << image;
    EXPECT_NE(std::string::npos, image.find(" [exec] ")) << image;
    EXPECT_NE(std::string::npos, image.find("DELETE FILE gone.txt\r\n[Halvorin]\r\nFILE /engine/helper.dll helper.dll"))
        << image;
    EXPECT_NE(std::string::npos, image.find("MODULE Tools Handy tools\r\nFILE /modules/Tools/docs/readme.txt_ docs\\readme.txt"));
    EXPECT_EQ(0, Tool("check " + dir_ + "/site " + dir_ + "/site/image.txt", &output)) << output;

    // A damaged file is named with its image line.
    std::string damaged = ReadAll(dir_ + "/site/files/lib/core.dll_");
    damaged[damaged.size() / 2] ^= 0x55;
    WriteAll(dir_ + "/site/files/lib/core.dll_", damaged);
    EXPECT_EQ(1, Tool("check " + dir_ + "/site " + dir_ + "/site/image.txt", &output));
    EXPECT_NE(std::string::npos, output.find("image.txt:7: /files/lib/core.dll_ has the file Id")) << output;
    EXPECT_EQ(std::string::npos, output.find("app.exe")) << output;

    // A manifest with a fault writes nothing, and names its line.
    WriteAll(dir_ + "/bad.txt", "site 127.0.0.1\nrelease 1 v1\nrelease 2 v2\nmandatory nosuch.exe\n");
    EXPECT_EQ(2, Tool("publish " + dir_ + "/bad.txt " + dir_ + "/other", &output));
    EXPECT_NE(std::string::npos, output.find("bad.txt:4: no file of release 2 is nosuch.exe")) << output;
    struct stat status;
    EXPECT_NE(0, stat((dir_ + "/other").c_str(), &status));
    EXPECT_EQ(0, system(("test -z \"$(ls -A '" + dir_ + "' | grep partial)\"").c_str())) << "no half-built site left";
    WriteAll(dir_ + "/bad.txt", "site 127.0.0.1\nrelease 2 v2\nrelease 1 v1\n");
    EXPECT_EQ(2, Tool("publish " + dir_ + "/bad.txt " + dir_ + "/other", &output));
    EXPECT_NE(std::string::npos, output.find("bad.txt:3: release 1 is not newer")) << output;

    // Publishing again replaces the whole site.
    ASSERT_EQ(0, Tool("publish " + dir_ + "/site.txt " + dir_ + "/site", &output)) << output;
    EXPECT_EQ(0, Tool("check " + dir_ + "/site " + dir_ + "/site/image.txt", &output)) << output;
}

// A published site checked over HTTPS, as the engine would fetch it (run by
// with_secure_sites.sh, which serves HALVORIN_HTTP_ROOT).
TEST_F(Publish, CheckFetchesASecureSite) {
    const char* root = getenv("HALVORIN_HTTP_ROOT");
    const char* certificates = getenv("HALVORIN_TEST_CERTIFICATES");
    const char* address = getenv("HALVORIN_HTTP_ADDR");
    if (!root || !certificates || !address) GTEST_SKIP() << "runs through with_secure_sites.sh";
    const std::string site = std::string("https://") + address;
    // The served folder is this test's own: what an earlier run left goes.
    system(("rm -rf '" + std::string(root) + "'/* '" + std::string(root) + "'/.halvorin-site").c_str());
    WriteAll(dir_ + "/v1/app.exe", RandomBytes(30000, 1));
    WriteAll(dir_ + "/v2/app.exe", RandomBytes(30000, 1) + "2");
    WriteAll(dir_ + "/site.txt", "site " + site + "\nrelease 1 v1\nrelease 2 v2\nmandatory app.exe\n");
    std::string output;
    ASSERT_EQ(0, Tool("publish " + dir_ + "/site.txt " + root, &output)) << output;
    const std::string trust = "CURL_CA_BUNDLE='" + std::string(certificates) + "/root.pem' ";
    EXPECT_EQ(0, system((trust + getenv("HALVORIN_SITE_TOOL") + " check " + site + " /image.txt >/dev/null").c_str()));
    // A file damaged on the server is named; a site whose certificate is not trusted is no site.
    std::string damaged = ReadAll(std::string(root) + "/files/app.exe_");
    damaged[damaged.size() - 10] ^= 1;
    WriteAll(std::string(root) + "/files/app.exe_", damaged);
    const std::string out = dir_ + "/check.txt";
    EXPECT_NE(0, system((trust + getenv("HALVORIN_SITE_TOOL") + " check " + site + " /image.txt >" + out).c_str()));
    EXPECT_NE(std::string::npos, ReadAll(out).find("files/app.exe_")) << ReadAll(out);
    EXPECT_NE(0, system((trust + getenv("HALVORIN_SITE_TOOL") + " check " + site + ":8446 /image.txt >" + out +
                         " 2>&1").c_str()));
    EXPECT_NE(std::string::npos, ReadAll(out).find("cannot read the image")) << ReadAll(out);
}

namespace {

// Every file below a folder with its content, '/' between parts.
std::string Listing(const std::string& folder) {
    const std::string out = folder + ".listing";
    system(("cd '" + folder + "' 2>/dev/null && find . -type f -exec md5sum {} + | sort >'" + out + "'").c_str());
    const std::string listing = ReadAll(out);
    remove(out.c_str());
    return listing;
}

}  // namespace

// Publishing never takes what is not its own: not a release, not the manifest, not the
// files an administrator keeps beside a site; it says why and writes nothing.
TEST_F(Publish, WritesOnlyWhereItMayAndOnlyWhatItMade) {
    WriteAll(dir_ + "/v1/app.exe", RandomBytes(20000, 1));
    WriteAll(dir_ + "/v1/old.dat", "dropped later");
    WriteAll(dir_ + "/v2/app.exe", RandomBytes(20000, 2));
    WriteAll(dir_ + "/v2/data/a.dat", "data");
    const std::string manifest = "site 127.0.0.1\nimage /quill/image.txt\nrelease 1 v1\nrelease 2 v2\n";
    WriteAll(dir_ + "/site.txt", manifest + "mandatory app.exe\nmandatory data/*\n");
    const std::string releases = Listing(dir_ + "/v1") + Listing(dir_ + "/v2");
    std::string output;
    struct Refusal {
        std::string folder;
        const char* reason;
    };
    for (const Refusal& r : {Refusal{dir_ + "/v1", "is or holds the release folder"},
                             Refusal{dir_, "is or holds the manifest's folder"},
                             Refusal{dir_ + "/v2/out", "lies inside the release folder"}}) {
        EXPECT_EQ(2, Tool("publish " + dir_ + "/site.txt " + r.folder, &output)) << r.folder;
        EXPECT_NE(std::string::npos, output.find(r.reason)) << output;
    }
    EXPECT_EQ(releases, Listing(dir_ + "/v1") + Listing(dir_ + "/v2"));
    EXPECT_EQ(manifest + "mandatory app.exe\nmandatory data/*\n", ReadAll(dir_ + "/site.txt"));

    // A dry run names every file and patch, and writes nothing.
    EXPECT_EQ(0, Tool("publish --dry-run " + dir_ + "/site.txt " + dir_ + "/www", &output)) << output;
    for (const std::string& named : {"image " + dir_ + "/www/quill/image.txt", std::string("patches/p1-2.rtp"),
                                     std::string("files/app.exe_"), std::string("files/data/a.dat_")}) {
        EXPECT_NE(std::string::npos, output.find(named)) << output;
    }
    struct stat status;
    EXPECT_NE(0, stat((dir_ + "/www").c_str(), &status)) << "the dry run wrote";

    // A served folder with an administrator's files: refused, then with --force the site
    // goes beside them, in the image's folder.
    WriteAll(dir_ + "/www/quill/index.html", "the administrator's page");
    EXPECT_EQ(2, Tool("publish " + dir_ + "/site.txt " + dir_ + "/www", &output));
    EXPECT_NE(std::string::npos, output.find("not empty and no site that publish made")) << output;
    ASSERT_EQ(0, Tool("publish --force " + dir_ + "/site.txt " + dir_ + "/www", &output)) << output;
    const std::string image = ReadAll(dir_ + "/www/quill/image.txt");
    EXPECT_NE(std::string::npos, image.find("FROM V1 TO V2 /quill/patches/p1-2.rtp ")) << image;
    EXPECT_EQ(std::string::npos, image.find("[Halvorin]") + image.find("[Modules]") + 1) << "empty sections";
    EXPECT_EQ(0, Tool("check " + dir_ + "/www /quill/image.txt", &output)) << output;

    // Published again without data/*: the file no longer made goes, the page stays.
    WriteAll(dir_ + "/site.txt", manifest + "mandatory app.exe\n");
    ASSERT_EQ(0, Tool("publish " + dir_ + "/site.txt " + dir_ + "/www", &output)) << output;
    EXPECT_EQ("the administrator's page", ReadAll(dir_ + "/www/quill/index.html"));
    EXPECT_NE(0, stat((dir_ + "/www/quill/files/data/a.dat_").c_str(), &status));
    EXPECT_EQ(0, Tool("check " + dir_ + "/www /quill/image.txt", &output)) << output;
}

// Faults of a manifest are named with their line, and a hint where one helps.
TEST_F(Publish, ManifestFaultsNameTheirLine) {
    WriteAll(dir_ + "/v1/Read Me.txt", "read me");
    WriteAll(dir_ + "/v1/a.txt", "a");
    WriteAll(dir_ + "/v2/Read Me.txt", "read me too");
    WriteAll(dir_ + "/v2/a.txt", "b");
    WriteAll(dir_ + "/v2/\xE6\x97\xA5\xE6\x9C\xAC.txt", "a name no Western code page holds");
    system(("mkdir -p '" + dir_ + "/empty'").c_str());
    const std::string head = "site 127.0.0.1\nrelease 1 v1\nrelease 2 v2\n";
    struct Case {
        std::string manifest;
        const char* says;
    };
    const Case cases[] = {
        {head + "mandatory a.txt [exce]\n", "site.txt:4: unknown flag \"[exce]\""},
        {head + "mandatory Read Me.txt\n", "(a path that holds blanks goes in double quotes)"},
        {head + "direct 5\n", "site.txt:4: direct 5 names no older release"},
        {"site \"not a host at all!\"\nrelease 1 v1\n", "site.txt:1: site \"not a host at all!\" is no host"},
        {head + "release 3 empty\n", "site.txt:4: the directory empty holds no file"},
        {head + "codepage 12345\n", "site.txt:4: code page 12345 is not known"},
        {head + "patch-format 3\n", "site.txt:4: patch-format takes 1 or 2"},
        {head + "mandatory *.txt\n", "cannot be written in code page 1252"},
    };
    std::string output;
    for (const Case& c : cases) {
        WriteAll(dir_ + "/site.txt", c.manifest);
        EXPECT_EQ(2, Tool("publish " + dir_ + "/site.txt " + dir_ + "/www", &output)) << c.manifest;
        EXPECT_NE(std::string::npos, output.find(c.says)) << c.manifest << output;
    }
    struct stat status;
    EXPECT_NE(0, stat((dir_ + "/www").c_str(), &status));
    // A byte-order mark is no directive; patterns with many stars match at once.
    WriteAll(dir_ + "/site.txt", "\xEF\xBB\xBF" + head + "mandatory \"**a**a**a**a**a**a**a**a**a**a**b\"\n");
    EXPECT_EQ(2, Tool("publish " + dir_ + "/site.txt " + dir_ + "/www", &output));
    EXPECT_NE(std::string::npos, output.find("site.txt:4: no file of release 2 is **a")) << output;
    WriteAll(dir_ + "/site.txt", "\xEF\xBB\xBF" + head + "mandatory *.txt [EXEC]\ncodepage 932\npatch-format 1\n");
    ASSERT_EQ(0, Tool("publish " + dir_ + "/site.txt " + dir_ + "/www", &output)) << output;
    EXPECT_EQ(ReadAll(dir_ + "/www/patches/p1-2.rtp").substr(0, 9), std::string("HVPATCH\x1A\x01", 9));
    // The names the clients read are in their code page (Shift-JIS here); object paths stay ASCII.
    const std::string image = ReadAll(dir_ + "/www/image.txt");
    EXPECT_NE(std::string::npos, image.find("FILE /files/Read%20Me.txt_ \"Read Me.txt\" ")) << image;
    EXPECT_NE(std::string::npos, image.find("FILE /files/%E6%97%A5%E6%9C%AC.txt_ \x93\xFA\x96\x7B.txt ")) << image;
    EXPECT_EQ(0, Tool("check " + dir_ + "/www /image.txt", &output)) << output;
}
