// Signed updates against a real site that lies: the site was published and signed by the
// native publishers' tool with a key made natively (with_signed_site.sh), and the engine
// (halvorin.exe, started by COM) checks it with the system's CNG under Wine. With the
// publisher's key set, an image that is not that key's, not whole, expired or older than
// one taken before is refused, and a file that is not the one the image was signed with
// is deleted unused; either way no byte of the installation changes and no program starts.
// The site's images are varied here and signed again with the same key file.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/cng_crypto.h"
#include "common/image_seal.h"
#include "server/tests/engine_site_test.h"

namespace {

using namespace engine_site;

struct KeyPair {
    PrivateKeyBytes privateKey{};
    PublicKeyBytes publicKey{};
    std::string publicText;
};

// Where with_signed_site.sh put the releases and the keys: beside the site's root.
std::string WorkDir() {
    std::string root = httpcontrol::RootDir();
    if (!root.empty() && root.back() == '\\') root.pop_back();
    return root.substr(0, root.find_last_of('\\')) + "\\work\\";
}

bool ReadKey(const std::string& path, KeyPair* key) {
    const std::string text = ReadWholeFile(path);
    const size_t lineEnd = text.find('\n');
    key->publicText = lineEnd == std::string::npos ? "" : text.substr(lineEnd + 1);
    return ParsePrivateKeyText(text.substr(0, lineEnd), &key->privateKey) &&
           ParsePublicKeyText(key->publicText, &key->publicKey);
}

// The image text without its signature line, and without every seal line when whole.
std::string Unsealed(const std::string& image, bool whole) {
    std::string out;
    for (size_t start = 0; start < image.size();) {
        size_t end = image.find('\n', start);
        end = end == std::string::npos ? image.size() : end + 1;
        const std::string line = image.substr(start, end - start);
        start = end;
        if (line.compare(0, 11, "'signature ") == 0 || (whole && line[0] == '\'')) continue;
        out += line;
    }
    return out;
}

// The text with a signature of key at its end, as publish signs.
std::string Signed(const std::string& body, const KeyPair& key) {
    Sha256Bytes hash;
    SignatureBytes signature;
    EXPECT_TRUE(Sha256Of(body.data(), body.size(), &hash));
    EXPECT_TRUE(SignP256(key.privateKey, key.publicKey, hash, &signature));
    return body + SealSignatureLine(key.publicKey, signature);
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    const size_t at = text.find(from);
    EXPECT_NE(std::string::npos, at) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

// A file of the site with one byte changed (its size kept) while it lives.
class TamperedFile {
public:
    explicit TamperedFile(const std::string& remote) : path_(httpcontrol::RootDir() + remote), original_(ReadWholeFile(path_)) {
        std::string changed = original_;
        EXPECT_FALSE(changed.empty()) << path_;
        if (!changed.empty()) changed[changed.size() / 2] ^= 0x5A;
        EXPECT_TRUE(WriteWholeFile(path_, changed));
    }
    ~TamperedFile() { WriteWholeFile(path_, original_); }

private:
    std::string path_;
    std::string original_;
};

class SignedUpdateTest : public EngineSiteTest {
protected:
    static void SetUpTestSuite() {
        EngineSiteTest::SetUpTestSuite();
        ASSERT_TRUE(ReadKey(WorkDir() + "keys\\site.key", &siteKey_));
        ASSERT_TRUE(ReadKey(WorkDir() + "keys\\other.key", &otherKey_));
        image_ = ReadWholeFile(httpcontrol::RootDir() + "signed\\image.txt");
        ASSERT_NE(std::string::npos, image_.find("'signature p256 ")) << "the site's image is not signed";
    }

    // An installation of release n of the site's application, in a directory of its own.
    std::string Install(const std::string& name, int release) {
        FileTree files;
        ReadTree(WorkDir() + "r" + std::to_string(release), &files);
        const std::string directory = app_.File(name);
        EXPECT_TRUE(WriteTree(directory, files));
        return directory;
    }

    static bool IsRelease(const std::string& directory, int release) {
        FileTree installed, expected;
        ReadTree(directory, &installed);
        ReadTree(WorkDir() + "r" + std::to_string(release), &expected);
        installed.erase("runs.log");
        return installed == expected;
    }

    // An object on the image at path, with boxes kept away, and the site's key unless
    // told otherwise.
    ComPtr<IHalvorin2> Engine(const std::string& appId, const std::string& path, const std::string& directory,
                              bool withKey = true) {
        ComPtr<IHalvorin> first = EngineOn(appId, path, directory);
        ComPtr<IHalvorin2> engine;
        if (!first || FAILED(first->QueryInterface(IID_IHalvorin2, engine.ReceiveVoid()))) return engine;
        engine->put_silent(VARIANT_TRUE);
        if (withKey) EXPECT_EQ(S_OK, engine->put_publisherKey(Bstr(siteKey_.publicText)));
        return engine;
    }

    // An image of the site's variants folder with this text; its path.
    static std::string Variant(const std::string& name, const std::string& text) {
        CreateDirectoryA((httpcontrol::RootDir() + "variants").c_str(), nullptr);
        EXPECT_TRUE(WriteWholeFile(httpcontrol::RootDir() + "variants\\" + name + ".txt", text));
        return "/variants/" + name + ".txt";
    }

    // Whether a line of the error report begins with the text and tells of a file that is
    // not the signed one.
    bool Told(IHalvorin* engine, const std::string& start) {
        const std::vector<std::string> lines = Report(engine);
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.find(start) == 0 && line.find("is not the file that the signed update image names") != std::string::npos;
        });
    }

    static std::string LastError(IHalvorin2* engine) {
        BSTR text = nullptr;
        engine->get_lastError(&text);
        const std::string error = TextOf(text);
        SysFreeString(text);
        return error;
    }

    static std::string TextOf(BSTR text) {
        const int size = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
        std::string out(size > 0 ? size - 1 : 0, '\0');
        if (size > 1) WideCharToMultiByte(CP_ACP, 0, text, -1, &out[0], size, nullptr, nullptr);
        return out;
    }

    static KeyPair siteKey_;
    static KeyPair otherKey_;
    static std::string image_;
};

KeyPair SignedUpdateTest::siteKey_;
KeyPair SignedUpdateTest::otherKey_;
std::string SignedUpdateTest::image_;

// The signed site brings release 1 to 3 for a client with the key and for one without;
// with the key, its module and its engine file come too.
TEST_F(SignedUpdateTest, SignedSiteUpdatesWithTheKeyAndWithout) {
    for (const bool withKey : {true, false}) {
        SCOPED_TRACE(withKey ? "with the key" : "without a key");
        const std::string name = withKey ? "good-keyed" : "good-plain";
        const std::string directory = Install(name, 1);
        ComPtr<IHalvorin2> engine = Engine(name, "/signed/image.txt", directory, withKey);
        ASSERT_TRUE(engine);
        LONG needed = 0;
        EXPECT_EQ(S_OK, engine->PatchNeeded(1, 3, &needed));
        EXPECT_EQ(-1, needed) << LastError(engine.Get());
        EXPECT_TRUE(FileExists(directory + "\\runs.log")) << "the [exec_always] command of a good image runs";
        EXPECT_EQ("/ok", Update(engine.Get(), 1, 3)) << LastError(engine.Get());
        EXPECT_TRUE(IsRelease(directory, 3));
        if (!withKey) continue;
        LONG version = 0;
        EXPECT_EQ(S_OK, engine->get_latestVersion(&version));
        EXPECT_EQ(3, version);
        LONG installed = 0;
        EXPECT_EQ(S_OK, engine->DownloadModule(Bstr("Extras"), 0, &installed));
        EXPECT_EQ(-1, installed) << LastError(engine.Get());
        EXPECT_EQ(ReadWholeFile(WorkDir() + "extras\\extra.dat"), ReadWholeFile(directory + "\\extras\\extra.dat"));
        EXPECT_TRUE(FileExists(directory + "\\extras\\runs.log")) << "the module's [exec] program was started";
        BSTR files = nullptr;
        EXPECT_EQ(S_OK, engine->NewHalvorinFiles(&files));
        EXPECT_NE(std::string::npos, TextOf(files).find("engine-extra.dll")) << LastError(engine.Get());
        SysFreeString(files);
    }
}

// An image that the key did not sign as it stands is refused whole: no patch needed, no
// command, no module, a failed run that changed nothing; a key that is no key is refused
// at once.
TEST_F(SignedUpdateTest, RefusedImagesChangeNothingAndStartNothing) {
    std::string expired = Replaced(Unsealed(image_, false), "'expires ", "'expires 2020-01-01T00:00:00Z\r\n'was ");
    struct Case {
        std::string name;
        std::string text;
        std::string reason;  // in lastError
    };
    const std::vector<Case> cases = {
        {"unsigned", Unsealed(image_, true), "it is not signed"},
        {"other-key", Signed(Unsealed(image_, false), otherKey_), "signed with another key"},
        {"one-byte", Replaced(image_, "FROM V1 TO V2", "FROM V1 TO V3"), "does not match its text"},
        {"expired", Signed(expired, siteKey_), "expired on 2020-01-01T00:00:00Z"},
        {"appended", image_ + "[Mandatory]\r\nDELETE FILE app.exe\r\n", "not signed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string directory = Install("refused-" + c.name, 1);
        ComPtr<IHalvorin2> engine = Engine("refused-" + c.name, Variant(c.name, c.text), directory);
        ASSERT_TRUE(engine);
        LONG needed = 1;
        EXPECT_EQ(S_OK, engine->PatchNeeded(1, 3, &needed));
        EXPECT_EQ(0, needed);
        EXPECT_NE(std::string::npos, LastError(engine.Get()).find(c.reason)) << LastError(engine.Get());
        LONG installed = 1;
        engine->DownloadModule(Bstr("Extras"), 0, &installed);
        EXPECT_EQ(0, installed);
        EXPECT_EQ("/failed", Update(engine.Get(), 1, 3));
        EXPECT_TRUE(IsRelease(directory, 1));
        EXPECT_FALSE(FileExists(directory + "\\runs.log")) << "a command of a refused image was started";
    }

    ComPtr<IHalvorin2> engine = Engine("not-a-key", "/signed/image.txt", app_.path(), false);
    ASSERT_TRUE(engine);
    EXPECT_EQ(E_INVALIDARG, engine->put_publisherKey(Bstr("halvorin-p256:00")));
    EXPECT_NE(std::string::npos, LastError(engine.Get()).find("not a key"));
}

// Once an application took version 3 under the key, a validly signed version 2 is
// refused; an application that took none still takes it. A refusal shows its box
// unless the object is silent.
TEST_F(SignedUpdateTest, AnOlderSignedImageIsRefusedAfterANewerOne) {
    const std::string older = Variant("older", Signed(Replaced(Unsealed(image_, false), "[VERSION 3]", "[VERSION 2]"),
                                                      siteKey_));
    const std::string taken = Install("rollback-taken", 1);
    ComPtr<IHalvorin2> newer = Engine("rollback", "/signed/image.txt", taken);
    ASSERT_TRUE(newer);
    LONG needed = 0;
    EXPECT_EQ(S_OK, newer->PatchNeeded(1, 3, &needed));
    EXPECT_EQ(-1, needed) << LastError(newer.Get());

    const std::string directory = Install("rollback", 1);
    ComPtr<IHalvorin2> engine = Engine("rollback", older, directory);
    ASSERT_TRUE(engine);
    engine->put_silent(VARIANT_FALSE);
    {
        uirobot::BoxWatcher boxes(Of(ServerProcess(engine.Get())));
        needed = 1;
        EXPECT_EQ(S_OK, engine->PatchNeeded(1, 2, &needed));
        EXPECT_EQ(0, needed);
        ASSERT_TRUE(boxes.WaitForCount(1, 20000)) << LastError(engine.Get());
        EXPECT_NE(std::string::npos, boxes.Seen()[0].text.find("older than version 3")) << boxes.Seen()[0].text;
    }
    EXPECT_NE(std::string::npos, LastError(engine.Get()).find("older than version 3")) << LastError(engine.Get());
    EXPECT_TRUE(IsRelease(directory, 1));
    EXPECT_FALSE(FileExists(directory + "\\runs.log"));

    ComPtr<IHalvorin2> fresh = Engine("rollback-fresh", older, Install("rollback-fresh", 1));
    ASSERT_TRUE(fresh);
    LONG version = 0;
    EXPECT_EQ(S_OK, fresh->get_latestVersion(&version));
    EXPECT_EQ(2, version) << LastError(fresh.Get());
}

// A file of a good image that the site changed after signing (its size kept) fails its
// step and is deleted before it is used: the patch is not applied, the compressed file
// not expanded, the engine file not listed, the module's program neither installed nor
// started.
TEST_F(SignedUpdateTest, ChangedFilesAreDeletedUnused) {
    const std::string download = app_.File("download");
    {
        TamperedFile patch("signed\\patches\\p1-2.rtp");
        const std::string directory = Install("changed-patch", 1);
        ComPtr<IHalvorin2> engine = Engine("changed-patch", "/signed/image.txt", directory);
        ASSERT_TRUE(engine);
        EXPECT_EQ("/failed", Update(engine.Get(), 1, 3));
        EXPECT_TRUE(IsRelease(directory, 1));
        EXPECT_FALSE(FileExists(download + "\\.hvpatch\\p1-2.rtp"));
        EXPECT_TRUE(Told(engine.Get(), "File /signed/patches/p1-2.rtp from site"));
    }
    {
        TamperedFile compressed("signed\\files\\data.bin_");
        const std::string directory = Install("changed-file", 3);
        ASSERT_TRUE(WriteWholeFile(directory + "\\data.bin", "damaged"));
        ComPtr<IHalvorin2> engine = Engine("changed-file", "/signed/image.txt", directory);
        ASSERT_TRUE(engine);
        EXPECT_EQ("/failed", Update(engine.Get(), 3, 3));
        EXPECT_EQ("damaged", ReadWholeFile(directory + "\\data.bin"));
        EXPECT_FALSE(FileExists(download + "\\data.bin"));
        EXPECT_TRUE(Told(engine.Get(), "File /signed/files/data.bin_ from site"));
    }
    {
        TamperedFile engineFile("signed\\engine\\engine-extra.dll");
        ComPtr<IHalvorin2> engine = Engine("changed-engine", "/signed/image.txt", Install("changed-engine", 3));
        ASSERT_TRUE(engine);
        BSTR files = nullptr;
        EXPECT_EQ(S_OK, engine->NewHalvorinFiles(&files));
        EXPECT_EQ(std::string::npos, TextOf(files).find("engine-extra.dll"));
        SysFreeString(files);
        EXPECT_NE(std::string::npos, LastError(engine.Get()).find("its SHA-256 differs")) << LastError(engine.Get());
        EXPECT_FALSE(FileExists(download + "\\engine-extra.dll"));
    }
    {
        TamperedFile module("signed\\modules\\Extras\\extras\\extra.exe_");
        const std::string directory = Install("changed-module", 3);
        ComPtr<IHalvorin2> engine = Engine("changed-module", "/signed/image.txt", directory);
        ASSERT_TRUE(engine);
        LONG installed = 1;
        EXPECT_EQ(S_OK, engine->DownloadModule(Bstr("Extras"), 0, &installed));
        EXPECT_EQ(0, installed);
        EXPECT_NE(std::string::npos, LastError(engine.Get()).find("extra.exe_")) << LastError(engine.Get());
        EXPECT_FALSE(FileExists(directory + "\\extras\\extra.exe"));
        EXPECT_FALSE(FileExists(directory + "\\extras\\runs.log"));
        EXPECT_FALSE(FileExists(download + "\\extras\\extra.exe"));
    }
}

}  // namespace
