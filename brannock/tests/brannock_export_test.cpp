// The export Brannock end to end: a host program loads Brannock.dll from a setup
// directory that also holds halvorin.exe and patchw32.dll; the engine, started by COM,
// reads images from the test site on 127.0.0.95, upgrades itself through Brannock when an
// image says so, and downloads the module "Install" whose install.rtp Brannock applies.
#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>
#include <thread>

#include "brannock/brannock.h"
#include "brannock/download_pass.h"
#include "brannock/tests/install_recorder.h"
#include "common/cng_crypto.h"
#include "common/com_ptr.h"
#include "common/image_seal.h"
#include "common/win_handles.h"
#include "files/file_identity.h"
#include "server/tests/server_process.h"
#include "tests/helpers/test_support.h"
#include "tests/support/http_control.h"
#include "tools/site/szdd.h"
#include "halvorin_idl.h"

using namespace testing_support;
using httpcontrol::GetsOf;

namespace {

const char kPackage[] = "package\\app.txt";
const std::string kPackageContent = "the package" + std::string(20000, 'x');

class BrannockTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server_testing::EndLeftoverServers();
        setup_ = std::make_unique<ScratchDirectory>("brannock-setup");
        for (const char* name : {"Brannock.dll", "halvorin.exe", "patchw32.dll"}) {
            ASSERT_TRUE(CopyFileA((ProgramDirectory() + name).c_str(), Setup(name).c_str(), FALSE)) << name;
        }
        ScratchDirectory empty("brannock-empty"), package("brannock-package");
        CreateDirectoryA(package.File("package").c_str(), nullptr);
        ASSERT_TRUE(WriteWholeFile(package.File(kPackage), kPackageContent));
        ASSERT_EQ(0, RunProcess("\"" + ProgramDirectory() + "makepatch.exe\" \"" + empty.path() + "\" \"" +
                                package.path() + "\" \"" + Setup("install.plain") + "\""));
        const std::string patch = ReadWholeFile(Setup("install.plain"));
        const std::vector<uint8_t> packed = CompressSzdd(std::vector<uint8_t>(patch.begin(), patch.end()));
        Publish("install.rt_", std::string(packed.begin(), packed.end()));
    }
    static void TearDownTestSuite() {
        server_testing::EndLeftoverServers();
        RunProcess("\"" + ProgramDirectory() + "halvorin.exe\" -regserver");
        setup_.reset();
    }
    void SetUp() override {
        ASSERT_FALSE(httpcontrol::ControlDir().empty()) << "run me through with_http_server.sh";
        httpcontrol::ClearRules();
        httpcontrol::ClearRequestLog();
        for (const char* name : {kPackage, "install.rtp", "Config.Ins"}) DeleteFileA(Setup(name).c_str());
        GetCurrentDirectoryA(MAX_PATH, previous_);
    }
    void TearDown() override { SetCurrentDirectoryA(previous_); }

    static std::string Setup(const std::string& name) { return setup_->File(name); }
    static void Publish(const std::string& name, const std::string& bytes) {
        ASSERT_TRUE(WriteWholeFile(httpcontrol::RootDir() + name, bytes));
    }
    static void Register(const char* how) { ASSERT_EQ(0, RunProcess("\"" + Setup("halvorin.exe") + "\" " + how)); }

    // A FILE line for a file of the site; fileId empty: that of the plain file.
    static std::string FileLine(const std::string& remote, const std::string& local, const std::string& plain,
                                std::string fileId = "") {
        UniqueHandle file(CreateFileA(plain.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        if (fileId.empty() && file) fileId = ComputeFileId(file.get());
        return "FILE " + remote + " " + local + " " + std::to_string(ReadWholeFile(plain).size()) + " " +
               std::to_string(ReadWholeFile(httpcontrol::RootDir() + remote).size()) + " 1/2/2001 1:05:00 none " +
               fileId + "\r\n";
    }
    // An image of the site with these lines and a module of this name that brings install.rtp.
    static std::string Image(const std::string& name, const std::string& lines, const char* module = "Install") {
        Publish(name, "[VERSION 1]\r\n" + lines + "[Modules]\r\nMODULE " + module + " Package\r\n" +
                          FileLine("install.rt_", "install.rtp", Setup("install.plain")));
        return "/" + name;
    }
    static void Configure(const std::string& text) { ASSERT_TRUE(WriteWholeFile(Setup("Config.Ins"), text)); }
    static std::string ThreeLines(const std::string& image) {
        return image + "\r\nhttp://referring.example/\r\n" + httpcontrol::ServerAddress() + "\r\n";
    }
    static LONG RunBrannock() {
        UniqueLibrary library(LoadLibraryA(Setup("Brannock.dll").c_str()));
        const FARPROC entry = GetProcAddress(library.get(), MAKEINTRESOURCEA(BRANNOCK_BRANNOCK_ORDINAL));
        return entry ? reinterpret_cast<BrannockExport>(reinterpret_cast<void*>(entry))() : -100;
    }
    static bool PackageInstalled() { return ReadWholeFile(Setup(kPackage)) == kPackageContent; }

    static std::unique_ptr<ScratchDirectory> setup_;
    char previous_[MAX_PATH] = "";
};

std::unique_ptr<ScratchDirectory> BrannockTest::setup_;

TEST_F(BrannockTest, AMissingOrShortConfigFileEndsBeforeTheServer) {
    EXPECT_EQ(BRANNOCK_NO_CONFIG, RunBrannock());
    Configure("/image.txt\r\nreferer\r\n");
    EXPECT_EQ(BRANNOCK_SHORT_CONFIG, RunBrannock());
    EXPECT_TRUE(httpcontrol::ReadRequestLog().empty());
    char host[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, host, MAX_PATH);
    EXPECT_TRUE(FileExists(Setup(std::string(host).substr(std::string(host).rfind('\\') + 1)))) << "host copy";
}

TEST_F(BrannockTest, AnUnregisteredServerIsRepairedAndThePackageInstalledWithoutCredentials) {
    const char classKey[] = "CLSID\\{EF43ED2B-0DCE-4F0B-B5C4-E3FF3A310FD2}\\LocalServer32";
    server_testing::EndLeftoverServers();
    Register("-unregserver");
    ASSERT_FALSE(server_testing::KeyExists(HKEY_CLASSES_ROOT, classKey));
    Configure(ThreeLines(Image("three.img", "")));
    InstallRecorder seen;
    EXPECT_EQ(BRANNOCK_INSTALLED, RunBrannock());
    EXPECT_TRUE(server_testing::KeyExists(HKEY_CLASSES_ROOT, classKey));
    EXPECT_TRUE(PackageInstalled());
    EXPECT_TRUE(seen.sawDialog);
    ASSERT_FALSE(GetsOf("/install.rt_").empty());
    EXPECT_EQ("http://referring.example/", GetsOf("/install.rt_").back().referer);
    for (const auto& request : httpcontrol::ReadRequestLog()) EXPECT_EQ("", request.authorization) << request.line;
}

TEST_F(BrannockTest, FiveLinesLoseTheirBlanksAndKeepTheirTabs) {
    Register("-regserver");
    ASSERT_TRUE(httpcontrol::WriteRules(R"({"auth": {"user": "\tuser", "password": "pass word\t"}})"));
    Configure("  " + Image("five.img", "") + " \r\n  referring \r\n " + httpcontrol::ServerAddress() +
              "  \r\n\tuser \r\n pass word\t\r\n");
    EXPECT_EQ(BRANNOCK_INSTALLED, RunBrannock());
    EXPECT_TRUE(PackageInstalled());
    ASSERT_FALSE(GetsOf("/install.rt_").empty());
    EXPECT_EQ("referring", GetsOf("/install.rt_").back().referer);
    EXPECT_EQ("\tuser:pass word\t", GetsOf("/install.rt_").back().authorization);
}

// With the publisher's key on the sixth line, only an image that key signed installs:
// the same package from an unsigned image, or with a key line that is no key, does not.
TEST_F(BrannockTest, ASixthLineKeyInstallsOnlyWhatItSigned) {
    Register("-regserver");
    PrivateKeyBytes privateKey;
    PublicKeyBytes publicKey;
    ASSERT_TRUE(GenerateP256(&privateKey, &publicKey));
    const std::string packed = ReadWholeFile(httpcontrol::RootDir() + "install.rt_");
    Sha256Bytes digest, hash;
    ASSERT_TRUE(Sha256Of(packed.data(), packed.size(), &digest));
    const std::string body = "[VERSION 1]\r\n[Modules]\r\nMODULE Install Package\r\n" +
                             FileLine("install.rt_", "install.rtp", Setup("install.plain")) +
                             SealDigestLine("install.rt_", digest);
    SignatureBytes signature;
    ASSERT_TRUE(Sha256Of(body.data(), body.size(), &hash));
    ASSERT_TRUE(SignP256(privateKey, publicKey, hash, &signature));
    Publish("signed.img", body + SealSignatureLine(publicKey, signature));
    Publish("unsigned.img", body);
    const std::string keyLine = "\r\n\r\n" + PublicKeyText(publicKey) + "\r\n";

    Configure(ThreeLines("/signed.img") + keyLine);
    EXPECT_EQ(BRANNOCK_INSTALLED, RunBrannock());
    EXPECT_TRUE(PackageInstalled());

    DeleteFileA(Setup(kPackage).c_str());
    DeleteFileA(Setup("install.rtp").c_str());
    uirobot::BoxWatcher boxes;
    Configure(ThreeLines("/unsigned.img") + keyLine);
    EXPECT_EQ(BRANNOCK_DOWNLOAD_FAILED, RunBrannock());
    EXPECT_FALSE(FileExists(Setup("install.rtp")));
    EXPECT_FALSE(PackageInstalled());
    ASSERT_TRUE(boxes.WaitForCount(1, 10000));
    EXPECT_NE(std::string::npos, boxes.Seen()[0].text.find("does not carry a valid signature")) << boxes.Seen()[0].text;

    httpcontrol::ClearRequestLog();
    Configure(ThreeLines("/signed.img") + "\r\n\r\nhalvorin-p256:00\r\n");
    EXPECT_EQ(BRANNOCK_DOWNLOAD_FAILED, RunBrannock());
    EXPECT_TRUE(GetsOf("/signed.img").empty()) << "a key that is no key ends the pass before the site";
}

TEST_F(BrannockTest, AFailedModuleDownloadGivesTwoAndNoDialog) {
    Register("-regserver");
    Configure(ThreeLines(Image("other.img", "", "Other")));
    InstallRecorder seen;
    EXPECT_EQ(BRANNOCK_DOWNLOAD_FAILED, RunBrannock());
    EXPECT_FALSE(seen.sawDialog);
    EXPECT_FALSE(FileExists(Setup("install.rtp")));
}

// The new program and patch library (the old ones with bytes behind them, which the
// loader ignores) can be copied only once the old server has ended; another client keeps
// it from ending by itself, so Brannock has to end it.
TEST_F(BrannockTest, TwoNewEngineFilesAreHandedOverAndThePassRunsAgain) {
    Register("-regserver");
    std::string lines = "[Halvorin]\r\n";
    for (const char* name : {"halvorin.exe", "patchw32.dll"}) {
        Publish(name, ReadWholeFile(Setup(name)) + "\r\nupgraded by the site\r\n");
        lines += FileLine(name, name, httpcontrol::RootDir() + name);
    }
    Configure(ThreeLines(Image("upgrade.img", lines)));
    UniqueHandle oldServer, clientReady(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    std::thread client([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        ComPtr<IHalvorin> engine;
        LONG id = 0;
        CoCreateInstance(CLSID_Halvorin, nullptr, CLSCTX_LOCAL_SERVER, IID_IHalvorin, engine.ReceiveVoid());
        if (engine) engine->get_processID(&id);
        oldServer.reset(OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(id)));
        SetEvent(clientReady.get());
        // Windows forgets the class of a killed server by itself; Wine has to be told.
        if (oldServer && WaitForSingleObject(oldServer.get(), 120000) == WAIT_OBJECT_0) {
            server_testing::ResetClassTableUnderWine();
        }
        engine.Reset();
        CoUninitialize();
    });
    WaitForSingleObject(clientReady.get(), INFINITE);
    EXPECT_TRUE(oldServer.valid());
    EXPECT_EQ(BRANNOCK_INSTALLED, RunBrannock());
    client.join();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(oldServer.get(), 0));
    for (const char* name : {"halvorin.exe", "patchw32.dll"}) {
        EXPECT_TRUE(ReadWholeFile(httpcontrol::RootDir() + name) == ReadWholeFile(Setup(name))) << name;
        EXPECT_FALSE(FileExists(Setup(std::string("Download\\") + name))) << name;
        EXPECT_EQ(1u, GetsOf(std::string("/") + name).size()) << "in sync for the second pass: " << name;
    }
    EXPECT_TRUE(PackageInstalled());
}

TEST_F(BrannockTest, ASiteThatKeepsReportingNewEngineFilesEndsAtTheBound) {
    Register("-regserver");
    Publish("notes.txt", "notes that never match their file Id");
    Configure(ThreeLines(Image("endless.img", "[Halvorin]\r\n" + FileLine("notes.txt", "halvorin-notes.txt",
                                                                           httpcontrol::RootDir() + "notes.txt",
                                                                           "00FFFFFFFF"))));
    InstallRecorder seen;
    uirobot::WindowFilter servers;
    servers.captionPrefix = "Error";
    uirobot::BoxWatcher boxes(servers);
    EXPECT_EQ(BRANNOCK_DOWNLOAD_FAILED, RunBrannock());
    EXPECT_FALSE(seen.sawDialog);
    EXPECT_EQ(static_cast<size_t>(kMaxHandOvers + 1), GetsOf("/notes.txt").size());
    // A download that is not the file the image describes is never handed over.
    EXPECT_FALSE(FileExists(Setup("halvorin-notes.txt")));
    EXPECT_TRUE(boxes.WaitForCount(kMaxHandOvers + 1, 10000));
    EXPECT_TRUE(GetsOf("/install.rt_").empty());
}

}  // namespace
