// Secure sites against nginx over TLS (run by with_nginx.sh with certificates that
// make_test_certificates.sh made): the test root is made trusted in this Wine prefix for
// the run only; a good certificate serves the image and a resumed download, a certificate
// for another name, an expired one and one from an untrusted root are refused, and so is
// a redirect to plain HTTP.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "common/message_texts.h"
#include "common/resource_ids.h"
#include "engine/image_holder.h"
#include "tests/helpers/test_support.h"
#include "tests/helpers/trusted_root.h"
#include "tests/robot/ui_robot.h"
#include "tests/support/http_control.h"
#include "transfer/download.h"
#include "transfer/transfer_context.h"

using testing_support::ReadWholeFile;
using testing_support::WriteWholeFile;

namespace {

uirobot::WindowFilter OwnWindows() {
    uirobot::WindowFilter filter;
    filter.processId = GetCurrentProcessId();
    return filter;
}

bool RecordExists(const std::string& remotePath) {
    char buffer[512];
    DWORD size = sizeof buffer;
    return RegGetValueA(HKEY_CURRENT_USER, kResumeRecordKey, remotePath.c_str(), RRF_RT_REG_SZ, nullptr, buffer,
                        &size) == ERROR_SUCCESS;
}

class SecureSiteTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        LoadMessageTexts(GetModuleHandleA(nullptr));
        root_ = new TrustedTestRoot(httpcontrol::WineDirectory(httpcontrol::EnvText("HALVORIN_TEST_CERTIFICATES")) +
                                    "root.pem");
    }
    static void TearDownTestSuite() {
        delete root_;
        root_ = nullptr;
    }

    void SetUp() override {
        ASSERT_TRUE(root_ && root_->trusted()) << "the test root could not be added";
        host_ = httpcontrol::ServerAddress();
        diagnostics_.log.SetPath(scratch_.File("engine.log"));
    }

    ImageFileEntry Entry(const std::string& site, const std::string& remotePath, uint32_t size) {
        ImageFileEntry entry;
        entry.site = site;
        entry.remotePath = remotePath;
        entry.localPath = scratch_.File("file.bin");
        entry.downloadSize = entry.expectedSize = size;
        entry.fileId = "00A1B2C3D4";
        entry.timestamp.year = 2001;
        entry.timestamp.month = 1;
        entry.timestamp.day = 2;
        return entry;
    }

    static TrustedTestRoot* root_;
    testing_support::ScratchDirectory scratch_{"secure"};
    std::string host_;
    Diagnostics diagnostics_;
    TransferContext context_{diagnostics_};
};

TrustedTestRoot* SecureSiteTest::root_ = nullptr;

TEST_F(SecureSiteTest, ImageAndResumedDownloadOverTls) {
    ASSERT_TRUE(httpcontrol::WriteWholeFile(httpcontrol::RootDir() + "image.txt",
                                            "[VERSION 2]\r\n[Patches]\r\nFROM V1 TO V2 p12.rtp 300000\r\n"));
    std::string data(300000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 1000);
    ASSERT_TRUE(httpcontrol::WriteWholeFile(httpcontrol::RootDir() + "p12.rtp", data));

    ImageHolder holder;
    const std::shared_ptr<const UpdateImage> image = GetImage(holder, "https://" + host_, "/image.txt", "", "", "", ImageTrust()).image;
    ASSERT_EQ(1u, image->patchSteps.size());
    EXPECT_EQ("https://" + host_, image->patchSteps[0].site);

    // A transfer that stopped after three blocks goes on where it stopped, over TLS. The
    // server's request log may hold the lines of earlier runs: only the new ones count.
    const size_t logged = httpcontrol::LogLines(httpcontrol::ControlDir() + "nginx_requests.jsonl").size();
    const ImageFileEntry entry = Entry(image->patchSteps[0].site, "/p12.rtp", 300000);
    ASSERT_TRUE(WriteWholeFile(entry.localPath, data.substr(0, 3 * 16384)));
    uirobot::BoxWatcher boxes(OwnWindows());
    ASSERT_TRUE(DownloadFile(context_, entry));
    EXPECT_TRUE(ReadWholeFile(entry.localPath) == data);
    EXPECT_FALSE(RecordExists("/p12.rtp"));
    EXPECT_EQ(0u, boxes.Count());
    int resumed = 0;
    const std::vector<std::string> lines = httpcontrol::LogLines(httpcontrol::ControlDir() + "nginx_requests.jsonl");
    for (size_t i = logged; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (httpcontrol::detail::Field(line, "range") == "bytes=49152-") {
            ++resumed;
            EXPECT_EQ("206", httpcontrol::detail::Field(line, "status")) << line;
        }
    }
    EXPECT_EQ(1, resumed);
}

// Each refusal is told like the other transfer failures, with the platform's code in the
// caption, and leaves neither a file nor a resume record.
TEST_F(SecureSiteTest, RefusedCertificatesAndRedirectsLeaveNothing) {
    ASSERT_TRUE(httpcontrol::WriteWholeFile(httpcontrol::RootDir() + "file.bin", std::string(50000, 'x')));
    struct Case {
        const char* what;
        std::string site;
        std::string remotePath;
        unsigned code;
        const char* reason;
    };
    const std::vector<Case> cases = {
        {"another host name", "https://" + host_ + ":8444", "/file.bin", 12038, "the site's certificate was refused"},
        {"expired", "https://" + host_ + ":8445", "/file.bin", 12037, "the site's certificate was refused"},
        {"an untrusted root", "https://" + host_ + ":8446", "/file.bin", 12057, "the site's certificate was refused"},
        {"a redirect to plain HTTP", "https://" + host_, "/insecure/file.bin", 12040,
         "the secure site redirected it to an insecure address"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        diagnostics_.errorReport.Clear();
        const ImageFileEntry entry = Entry(c.site, c.remotePath, 50000);
        uirobot::BoxWatcher boxes(OwnWindows());
        EXPECT_FALSE(DownloadFile(context_, entry));
        ASSERT_TRUE(boxes.WaitForCount(1, 10000));
        const uirobot::MessageBoxInfo box = boxes.Seen()[0];
        EXPECT_EQ("Error " + std::to_string(c.code), box.caption);
        EXPECT_EQ(FormatMessageText(IDS_UNTRUSTED_SITE, c.remotePath.c_str(), c.site.c_str()), box.text);
        EXPECT_EQ(std::vector<std::string>{"File " + c.remotePath + " could not be downloaded from site " + c.site +
                                           ": " + c.reason + "."},
                  diagnostics_.errorReport.Texts());
        EXPECT_FALSE(testing_support::FileExists(entry.localPath));
        EXPECT_FALSE(RecordExists(c.remotePath));
    }
}

}  // namespace
