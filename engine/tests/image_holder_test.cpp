// The image cache and the image transfer against real HTTP servers on loopback: the
// fault-injecting server of with_http_server.sh (its request log shows what WinInet sent)
// and a second one on another address for the BASE URL directive. A failed fetch shows
// nothing itself: it hands back the failure (box text and code, report and log texts).
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "engine/image_holder.h"
#include "common/resource_ids.h"
#include "tests/support/http_control.h"
#include "common/message_texts.h"

namespace {

using httpcontrol::GetsOf;
using httpcontrol::LoggedRequest;

const char kImage[] =
    "[VERSION 7]\r\n"
    "[Patches]\r\n"
    "FROM V5 TO V6 patches\\p56.rtp 1200\r\n"
    "[Modules]\r\n"
    "MODULE Tools Handy tools\r\n"
    "FILE tools\\t.exe tools/t.exe 1000 800 1/2/2001 1:05:00 none\r\n";

// A FILE line in section Modules before any MODULE line belongs to the current module,
// which a later fetch into the same image keeps.
const char kImageWithoutModuleLine[] =
    "[VERSION 8]\r\n"
    "[Modules]\r\n"
    "FILE extra\\x.dll x.dll 10 10 1/2/2001 1:05:00 none\r\n";

class ImageHolderTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { LoadMessageTexts(GetModuleHandleA(nullptr)); }

    void SetUp() override {
        ASSERT_FALSE(httpcontrol::ControlDir().empty()) << "run through with_http_server.sh";
        site_ = httpcontrol::ServerAddress();
        ASSERT_TRUE(httpcontrol::ClearRules());
        ASSERT_TRUE(httpcontrol::ClearRequestLog());
        ASSERT_TRUE(Serve("image.txt", kImage));
    }

    static bool Serve(const std::string& name, const std::string& text) {
        return httpcontrol::WriteWholeFile(httpcontrol::RootDir() + name, text);
    }

    std::string site_;
    ImageHolder holder_;
};

TEST_F(ImageHolderTest, CachedImageIsTransferredOnceAndFetchTransfersAgain) {
    const ImageResult got = GetImage(holder_, site_, "/image.txt", "", "", "", ImageTrust());
    ASSERT_TRUE(got.fetched);
    const UpdateImage& first = *got.image;
    ASSERT_EQ(1u, first.patchSteps.size());
    EXPECT_EQ("patches/p56.rtp", first.patchSteps[0].remotePath);
    EXPECT_EQ(site_, first.patchSteps[0].site);
    ASSERT_EQ(1u, first.modules.count("Tools"));

    EXPECT_EQ(got.image, GetImage(holder_, site_, "/image.txt", "", "", "", ImageTrust()).image);
    UpdateImage second = first;
    Failure failure;
    std::vector<LoggedRequest> gets = GetsOf("/image.txt");
    ASSERT_EQ(1u, gets.size());
    EXPECT_EQ("Halvorin", gets[0].userAgent);
    EXPECT_EQ(200, gets[0].status);

    // A second fetch into the same image empties the lists before parsing: nothing is
    // doubled; the current module of the earlier parse carries over.
    EXPECT_TRUE(FetchImage(second, "", &failure));
    EXPECT_EQ(2u, GetsOf("/image.txt").size());
    EXPECT_EQ(1u, second.patchSteps.size());
    EXPECT_EQ(1u, second.modules.at("Tools").files.size());

    ASSERT_TRUE(Serve("image.txt", kImageWithoutModuleLine));
    EXPECT_TRUE(FetchImage(second, "", &failure));
    EXPECT_TRUE(second.patchSteps.empty());
    ASSERT_EQ(1u, second.modules.size());
    ASSERT_EQ(1u, second.modules.at("Tools").files.size());
    EXPECT_EQ("extra/x.dll", second.modules.at("Tools").files[0].remotePath);
    EXPECT_EQ("Handy tools", second.modules.at("Tools").description);
}

TEST_F(ImageHolderTest, ChangedImagePathFetchesAnewChangedCredentialsDoNot) {
    ASSERT_TRUE(Serve("other.txt", kImageWithoutModuleLine));
    const UpdateImage* first = GetImage(holder_, site_, "/image.txt", "", "", "", ImageTrust()).image.get();
    EXPECT_EQ(1u, first->patchSteps.size());

    const UpdateImage& sameWithOtherUser = *GetImage(holder_, site_, "/image.txt", "", "someone", "secret", ImageTrust()).image;
    EXPECT_EQ(first, &sameWithOtherUser);
    EXPECT_EQ("", sameWithOtherUser.userName);
    EXPECT_EQ(1u, GetsOf("/image.txt").size());

    const UpdateImage& other = *GetImage(holder_, site_, "/other.txt", "", "", "", ImageTrust()).image;
    EXPECT_EQ("/other.txt", other.imagePath);
    EXPECT_TRUE(other.patchSteps.empty());
    ASSERT_EQ(1u, other.modules.size());
    EXPECT_EQ(1u, other.modules.count(""));  // a fresh image has no current module
    EXPECT_EQ(1u, GetsOf("/other.txt").size());
    EXPECT_EQ(1u, GetsOf("/image.txt").size());

    // The site is compared exactly too.
    GetImage(holder_, site_ + ":80", "/other.txt", "", "", "", ImageTrust());
    EXPECT_EQ(2u, GetsOf("/other.txt").size());
}

// A fetch that fails is told to the caller and never kept: the cached image stays, and a
// new image that could not be had is not cached, so the next call asks the site again.
TEST_F(ImageHolderTest, AFailedFetchIsToldAndNeverKept) {
    const std::shared_ptr<const UpdateImage> cached = GetImage(holder_, site_, "/image.txt", "", "", "", ImageTrust()).image;
    ASSERT_EQ(1u, cached->patchSteps.size());
    ASSERT_TRUE(httpcontrol::WriteRules(R"({"paths": {"/image.txt": {"status": 404}, "/missing.txt": {"status": 404,
                                            "times": 1}, "/page.txt": {"body": "<html>Not here</html>"}}})"));
    Failure failure;
    EXPECT_FALSE(RefreshCachedImage(holder_, "", &failure));
    EXPECT_TRUE(failure.hasCode);
    EXPECT_EQ(404u, failure.code);
    EXPECT_EQ(FormatMessageText(IDS_CANNOT_DOWNLOAD, "/image.txt", site_.c_str()), failure.boxText);
    EXPECT_EQ("File /image.txt could not be downloaded from site " + site_ + ".", failure.reportText);
    EXPECT_EQ("\r\n" + failure.reportText, failure.logText);
    EXPECT_EQ(cached, holder_.get()) << "the cached image was replaced";
    EXPECT_EQ(1u, cached->modules.at("Tools").files.size());

    ImageResult missing = GetImage(holder_, site_, "/missing.txt", "", "", "", ImageTrust());
    EXPECT_FALSE(missing.fetched);
    EXPECT_EQ(404u, missing.failure.code);
    EXPECT_TRUE(missing.image->patchSteps.empty() && missing.image->modules.empty());
    EXPECT_EQ(cached, holder_.get());
    ASSERT_TRUE(Serve("missing.txt", kImage));
    missing = GetImage(holder_, site_, "/missing.txt", "", "", "", ImageTrust());
    EXPECT_TRUE(missing.fetched) << "the failed fetch was kept";
    EXPECT_EQ(1u, missing.image->patchSteps.size());
    EXPECT_EQ(2u, GetsOf("/missing.txt").size());

    // A page that is no image (an error page served with 200) is no image either.
    const ImageResult page = GetImage(holder_, site_, "/page.txt", "", "", "", ImageTrust());
    EXPECT_FALSE(page.fetched);
    EXPECT_FALSE(page.failure.hasCode);
    EXPECT_EQ(FormatMessageText(IDS_NOT_AN_IMAGE, "/page.txt", site_.c_str()), page.failure.boxText);
    EXPECT_EQ("File /page.txt from site " + site_ + " is not an update image.", page.failure.reportText);
    EXPECT_EQ(missing.image, holder_.get());
}

// An answer without a declared length whose read fails is not parsed: read as far as it
// came, "DELETE FILE victim.txt.bak" would delete victim.txt.
TEST_F(ImageHolderTest, AnImageWhoseReadFailsIsNotParsed) {
    const std::string head = "[VERSION 2]\r\n[Mandatory]\r\nDELETE FILE victim.txt";
    ASSERT_TRUE(Serve("image.txt", "[VERSION 1]\r\n[Mandatory]\r\nDELETE FILE old.txt\r\n"));
    const std::shared_ptr<const UpdateImage> cached = GetImage(holder_, site_, "/image.txt", "", "", "", ImageTrust()).image;
    ASSERT_EQ(std::vector<std::string>{"old.txt"}, cached->deleteFiles);
    ASSERT_TRUE(Serve("image.txt", head + ".bak\r\n"));
    ASSERT_TRUE(httpcontrol::WriteRules(R"({"paths": {"/image.txt": {"no_length": true, "cut_after": )" +
                                        std::to_string(head.size()) + R"(, "cut_mode": "reset", "cut_delay": 0.5}}})"));
    Failure failure;
    EXPECT_FALSE(RefreshCachedImage(holder_, "", &failure));
    EXPECT_EQ("File /image.txt could not be downloaded from site " + site_ +
                  ": the connection broke before the end.",
              failure.reportText);
    EXPECT_EQ(std::vector<std::string>{"old.txt"}, holder_.get()->deleteFiles);
    ImageHolder fresh;
    const ImageResult cut = GetImage(fresh, site_, "/image.txt", "", "", "", ImageTrust());
    EXPECT_FALSE(cut.fetched);
    EXPECT_TRUE(cut.image->deleteFiles.empty());
    EXPECT_EQ(nullptr, fresh.get());
}

// The second server, on another address, stands for the host that a BASE URL names.
TEST_F(ImageHolderTest, BaseUrlMakesTheNextGetImageFetchAgainAndFetchGoToTheOtherHost) {
    const std::string otherAddress = httpcontrol::EnvText("HALVORIN_OTHER_HTTP_ADDR");
    const std::string otherRoot = httpcontrol::EnvText("HALVORIN_OTHER_HTTP_ROOT");
    const std::string otherControl = httpcontrol::EnvText("HALVORIN_OTHER_HTTP_CONTROL");
    ASSERT_FALSE(otherAddress.empty() || otherRoot.empty() || otherControl.empty()) << "no second server";
    const std::string otherLog = httpcontrol::WineDirectory(otherControl) + "requests.jsonl";
    DeleteFileA(otherLog.c_str());
    ASSERT_TRUE(Serve("based.txt", "[VERSION 1]\r\n[BASE URL " + otherAddress +
                                       "]\r\n[Patches]\r\nFROM V1 TO V2 p12.rtp 10\r\n"));
    ASSERT_TRUE(httpcontrol::WriteWholeFile(httpcontrol::WineDirectory(otherRoot) + "based.txt",
                                            "[VERSION 2]\r\n[Patches]\r\nFROM V3 TO V4 p34.rtp 20\r\n"));

    std::shared_ptr<const UpdateImage> image = GetImage(holder_, site_, "/based.txt", "", "", "", ImageTrust()).image;
    EXPECT_EQ(otherAddress, image->site);
    ASSERT_EQ(1u, image->patchSteps.size());
    EXPECT_EQ(otherAddress, image->patchSteps[0].site);
    EXPECT_EQ(1u, GetsOf("/based.txt").size());

    // The cached image names the other site now, so it no longer matches the url.
    image = GetImage(holder_, site_, "/based.txt", "", "", "", ImageTrust()).image;
    EXPECT_EQ(2u, GetsOf("/based.txt").size());
    EXPECT_TRUE(GetsOf(httpcontrol::ReadRequestLogFile(otherLog), "/based.txt").empty());

    // A fetch into the image goes to its own site: the other host.
    Failure failure;
    ASSERT_TRUE(RefreshCachedImage(holder_, "", &failure));
    EXPECT_EQ(2u, GetsOf("/based.txt").size());
    EXPECT_EQ(1u, GetsOf(httpcontrol::ReadRequestLogFile(otherLog), "/based.txt").size());
    ASSERT_EQ(1u, holder_.get()->patchSteps.size());
    EXPECT_EQ(3, holder_.get()->patchSteps[0].fromVersion);
}

TEST_F(ImageHolderTest, EmptyUserOrPasswordIsPassedAsNoneEachByItself) {
    // WinInet keeps the credentials that a host accepted (or refused) for the rest of the
    // process and offers them again, unasked, to connections that bring none; so the
    // case without a user name comes first, while nothing is kept for this host.
    ASSERT_TRUE(httpcontrol::WriteRules(R"({"auth": {"user": "u", "password": "p"}})"));
    struct Case {
        const char* user;
        const char* password;
        const char* sent;  // the credentials the server saw
        long long status;
    };
    for (const Case& c : {Case{"", "p", "", 401}, Case{"u", "", "u:", 401}, Case{"u", "p", "u:p", 200}}) {
        SCOPED_TRACE(std::string("user '") + c.user + "' password '" + c.password + "'");
        ASSERT_TRUE(httpcontrol::ClearRequestLog());
        ImageHolder holder;
        const ImageResult got = GetImage(holder, site_, "/image.txt", "", c.user, c.password, ImageTrust());
        const UpdateImage& image = *got.image;
        const std::vector<LoggedRequest> gets = GetsOf("/image.txt");
        ASSERT_FALSE(gets.empty());
        for (const LoggedRequest& r : gets) {
            EXPECT_TRUE(r.authorization.empty() || r.authorization == c.sent) << r.line;
        }
        EXPECT_EQ(c.sent, gets.back().authorization);
        EXPECT_EQ(c.status, gets.back().status);
        if (c.status == 200) {
            EXPECT_EQ(1u, image.patchSteps.size());
        } else {
            EXPECT_FALSE(got.fetched);
            EXPECT_EQ(401u, got.failure.code);
            EXPECT_TRUE(image.patchSteps.empty());
        }
    }
}

TEST_F(ImageHolderTest, RefererIsSentOnlyWhenGiven) {
    GetImage(holder_, site_, "/image.txt", "http://client.example/update", "", "", ImageTrust());
    Failure failure;
    RefreshCachedImage(holder_, "", &failure);
    RefreshCachedImage(holder_, "http://client.example/refresh", &failure);
    const std::vector<LoggedRequest> gets = GetsOf("/image.txt");
    ASSERT_EQ(3u, gets.size());
    EXPECT_EQ("http://client.example/update", gets[0].referer);
    EXPECT_EQ("", gets[1].referer);
    EXPECT_NE(std::string::npos, gets[1].line.find("\"referer\":null")) << gets[1].line;
    EXPECT_EQ("http://client.example/refresh", gets[2].referer);
}

TEST_F(ImageHolderTest, ConnectionFailuresCarryTheSystemCode) {
    struct Case {
        const char* site;
        unsigned code;
        int textId;
    };
    // Nothing listens on 127.0.0.89, and the request cannot be sent (case B); an empty site
    // is refused by InternetConnectA itself (case A); a name that does not resolve fails at
    // the send.
    for (const Case& c : {Case{"127.0.0.89", 12029, IDS_CANNOT_GET_FILE}, Case{"", 87, IDS_CANNOT_OPEN_SITE},
                          Case{"no-such-host.invalid", 12007, IDS_CANNOT_GET_FILE}}) {
        SCOPED_TRACE(c.site);
        const ImageResult got = GetImage(holder_, c.site, "/image.txt", "", "", "", ImageTrust());
        EXPECT_FALSE(got.fetched);
        EXPECT_EQ(c.code, got.failure.code);
        const std::string expected = c.textId == IDS_CANNOT_OPEN_SITE
                                         ? FormatMessageText(c.textId, c.site)
                                         : FormatMessageText(c.textId, "/image.txt", c.site);
        EXPECT_EQ(expected, got.failure.boxText);
        EXPECT_TRUE(got.image->patchSteps.empty());
    }
}

// One FILE line of a module, numbered, about 70 bytes, and the remote path it gives.
std::string ModuleLine(int i) {
    char line[128];
    snprintf(line, sizeof line, "FILE mods\\file%05d.dll mods/file%05d.dll 1000 800 1/2/2001 1:05:00 none\r\n", i, i);
    return line;
}

std::string ModuleRemotePath(int i) {
    char path[32];
    snprintf(path, sizeof path, "mods/file%05d.dll", i);
    return path;
}

TEST_F(ImageHolderTest, OneReadTakesAnImageUpTo65535BytesEvenWhenTheServerTrickles) {
    std::string text = "[VERSION 1]\r\n[Modules]\r\nMODULE Big\r\n";
    int lines = 0;
    while (text.size() + ModuleLine(lines).size() <= 60000) text += ModuleLine(lines++);
    ASSERT_TRUE(Serve("big.txt", text));
    // The server hands the answer out in 4 KiB pieces with pauses between them.
    ASSERT_TRUE(httpcontrol::WriteRules(R"({"paths": {"/big.txt": {"chunk_size": 4096, "chunk_delay": 0.02}}})"));
    ASSERT_TRUE(GetImage(holder_, site_, "/big.txt", "", "", "", ImageTrust()).fetched);
    ASSERT_EQ(1u, holder_.get()->modules.count("Big"));
    EXPECT_EQ(static_cast<size_t>(lines), holder_.get()->modules.at("Big").files.size());

    // Beyond 65,535 bytes the text is cut: the line that crosses the limit is read only
    // as far as it goes, the lines after it not at all.
    std::string longText = "[VERSION 1]\r\n[Modules]\r\nMODULE Big\r\n";
    int whole = -1;
    for (int i = 0; longText.size() < 80000; ++i) {
        if (whole < 0 && longText.size() + ModuleLine(i).size() > 65535) whole = i;
        longText += ModuleLine(i);
    }
    ASSERT_TRUE(Serve("big.txt", longText));
    Failure failure;
    ASSERT_TRUE(RefreshCachedImage(holder_, "", &failure));
    const std::shared_ptr<const UpdateImage> image = holder_.get();
    const std::vector<ImageFileEntry>& files = image->modules.at("Big").files;
    ASSERT_GE(files.size(), static_cast<size_t>(whole));
    EXPECT_LE(files.size(), static_cast<size_t>(whole) + 1);
    EXPECT_EQ(ModuleRemotePath(whole - 1), files[whole - 1].remotePath);
}

// The line that the 65,535-byte read cuts is dropped whole: read as far as it goes it
// would name another file ("app.exe" of "app.exe.bak"), which a patch run would delete.
TEST_F(ImageHolderTest, TheLineCutByTheReadLimitIsDropped) {
    const std::string cutLine = "DELETE FILE app.exe";
    std::string text = "[VERSION 1]\r\n[Mandatory]\r\nDELETE FILE keep.txt\r\n";
    while (text.size() < 65535 - cutLine.size() - 40) text += "' padding comment\r\n";
    text.resize(65535 - cutLine.size() - 2, ' ');
    text += "\r\n" + cutLine + ".bak\r\nDELETE FILE after.txt\r\n";
    ASSERT_TRUE(Serve("cut.txt", text));
    const UpdateImage& image = *GetImage(holder_, site_, "/cut.txt", "", "", "", ImageTrust()).image;
    EXPECT_EQ(std::vector<std::string>{"keep.txt"}, image.deleteFiles);
}

}  // namespace
