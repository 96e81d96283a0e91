// Signed sites: the seal's reading, keygen, publish's signature and check's verification,
// with the tool run as a program and the crypto of its native build (OpenSSL).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "common/image_seal.h"
#include "tools/site/site_crypto.h"
#include "tools/site/tests/tool_test_files.h"

namespace {

using namespace site_tool_test;

ImageSeal SealOf(const std::string& text) {
    ImageSeal seal;
    ReadImageSeal(text.data(), text.size(), &seal);
    return seal;
}

}  // namespace

// What the seal reader takes, and what makes a seal untrustworthy whatever the key.
TEST(ImageSeal, ReadsTheSealAndNothingAddedAfterIt) {
    SigningKey key;
    ASSERT_TRUE(ToolGenerateKey(&key.privateKey, &key.publicKey));
    Sha256Bytes digest;
    ASSERT_TRUE(ToolSha256("abc", 3, &digest));
    EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", HexText(digest.data(), digest.size()));
    const std::string body = "[VERSION 3]\r\n[Patches]\r\nFROM V1 TO V3 /p.rtp 10\r\n" +
                             SealDigestLine("/p.rtp", digest) + SealDigestLine("/with blank.dat_", digest) +
                             SealExpiresLine(1800000000);
    SignatureBytes signature;
    ASSERT_TRUE(ToolSign(key.privateKey, key.publicKey, digest, &signature));
    const std::string image = body + SealSignatureLine(key.publicKey, signature);

    for (const std::string& ending : {std::string(), std::string("\r\n \r\n"), std::string("  ")}) {
        const ImageSeal seal = SealOf(image + ending);
        EXPECT_TRUE(seal.present);
        EXPECT_EQ("", seal.problem);
        EXPECT_EQ(body.size(), seal.signedLength);
        EXPECT_EQ(key.publicKey, seal.signer);
        EXPECT_EQ(signature, seal.signature);
        EXPECT_TRUE(seal.expires);
        EXPECT_EQ(1800000000, seal.expiresAt);
        ASSERT_EQ(2u, seal.digests.size());
        EXPECT_EQ(digest, seal.digests.at("/with blank.dat_"));
    }
    // Anything after the signature line leaves the image unsigned.
    EXPECT_FALSE(SealOf(image + "[Mandatory]\r\nDELETE FILE app.exe\r\n").present);
    EXPECT_FALSE(SealOf(image + "'comment\r\n").present);
    EXPECT_FALSE(SealOf("").present);

    const std::string signatureLine = SealSignatureLine(key.publicKey, signature);
    const std::string other = SealDigestLine("/p.rtp", Sha256Bytes{});
    EXPECT_NE("", SealOf(body + other + signatureLine).problem) << "two digests for one path";
    EXPECT_EQ("", SealOf(body + SealDigestLine("/p.rtp", digest) + signatureLine).problem) << "the same one twice is one";
    EXPECT_NE("", SealOf(body + SealExpiresLine(1900000000) + signatureLine).problem) << "two end dates";
    EXPECT_NE("", SealOf(body + "'sha256 12ab /p.rtp\r\n" + signatureLine).problem);
    EXPECT_NE("", SealOf(body + "'expires tomorrow\r\n" + signatureLine).problem);
    EXPECT_NE("", SealOf(body + "'signature p256 00 11\r\n").problem);
    EXPECT_NE("", SealOf(body + "'signature rsa " + signatureLine.substr(16)).problem);

    // Times in the seal's one form only, and real dates only.
    int64_t seconds = 0;
    ASSERT_TRUE(ParseSealTime("2024-02-29T23:59:59Z", &seconds));
    EXPECT_EQ("2024-02-29T23:59:59Z", SealTimeText(seconds));
    EXPECT_EQ(1709251199, seconds);
    EXPECT_FALSE(ParseSealTime("2023-02-29T00:00:00Z", &seconds));
    EXPECT_FALSE(ParseSealTime("2023-01-01T24:00:00Z", &seconds));
    EXPECT_FALSE(ParseSealTime("2023-01-01 00:00:00Z", &seconds));
    EXPECT_EQ("1969-12-31T23:59:59Z", SealTimeText(-1));

    // Key texts: either case, blanks and a line end around them; nothing else.
    PublicKeyBytes read;
    std::string text = PublicKeyText(key.publicKey);
    for (char& c : text) c = static_cast<char>(toupper(c));
    EXPECT_FALSE(ParsePublicKeyText(text, &read)) << "the prefix is lower case";
    text = " halvorin-p256:" + text.substr(14) + "\r\n";
    ASSERT_TRUE(ParsePublicKeyText(text, &read));
    EXPECT_EQ(key.publicKey, read);
    EXPECT_FALSE(ParsePublicKeyText(PublicKeyText(key.publicKey) + "00", &read));
    EXPECT_FALSE(ParsePublicKeyText(PublicKeyText(key.publicKey).substr(0, 100), &read));
}

class Signing : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = ::testing::TempDir() + "signing_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern.data()));
        dir_ = pattern;
    }
    void TearDown() override { system(("rm -rf '" + dir_ + "'").c_str()); }

    int Tool(const std::string& arguments, std::string* output) { return RunTool(arguments, dir_ + "/output.txt", output); }

    int Check(const std::string& options, std::string* output) {
        return Tool("check " + options + " " + dir_ + "/site /image.txt", output);
    }

    std::string dir_;
};

// keygen, a signed publish, and check: what it accepts, and every change it finds.
TEST_F(Signing, KeygenPublishAndCheck) {
    std::string output;
    ASSERT_EQ(0, Tool("keygen " + dir_ + "/site.key", &output)) << output;
    struct stat status;
    ASSERT_EQ(0, stat((dir_ + "/site.key").c_str(), &status));
    EXPECT_EQ(0600u, status.st_mode & 0777) << "the private key is its owner's only";
    const std::string publicLine = ReadAll(dir_ + "/site.key.pub");
    EXPECT_NE(std::string::npos, output.find(publicLine)) << "keygen prints the public line";
    EXPECT_EQ(2, Tool("keygen " + dir_ + "/site.key", &output));
    EXPECT_NE(std::string::npos, output.find("never overwritten")) << output;
    EXPECT_EQ(publicLine, ReadAll(dir_ + "/site.key.pub"));
    ASSERT_EQ(0, Tool("keygen " + dir_ + "/other.key", &output)) << output;

    const std::string program = RandomBytes(60000, 5);
    WriteAll(dir_ + "/v1/app.exe", program);
    WriteAll(dir_ + "/v2/app.exe", program.substr(0, 30000) + "v2" + program.substr(30002));
    WriteAll(dir_ + "/v2/data.bin", RandomBytes(4000, 6));
    const std::string manifest = "site 127.0.0.1\nrelease 1 v1\nrelease 2 v2\nmandatory **\n";
    WriteAll(dir_ + "/site.txt", manifest + "sign site.key\nexpires 7\n");
    ASSERT_EQ(0, Tool("publish " + dir_ + "/site.txt " + dir_ + "/site", &output)) << output;
    const std::string image = ReadAll(dir_ + "/site/image.txt");
    for (const char* path : {"/patches/p1-2.rtp", "/files/app.exe_", "/files/data.bin_"}) {
        EXPECT_NE(std::string::npos, image.find(std::string(" ") + path + "\r\n'")) << path << " has no digest: " << image;
    }
    EXPECT_EQ(0, Check("", &output)) << output;
    EXPECT_EQ(0, Check("--key " + dir_ + "/site.key.pub", &output)) << output;
    EXPECT_EQ(1, Check("--key " + dir_ + "/other.key.pub", &output));
    EXPECT_NE(std::string::npos, output.find("signed with another key")) << output;

    // One byte of the image, or of a file with its size kept, is found.
    std::string changed = image;
    changed[changed.find("FROM V1 TO V2") + 12] = '3';
    WriteAll(dir_ + "/site/image.txt", changed);
    EXPECT_EQ(1, Check("", &output));
    EXPECT_NE(std::string::npos, output.find("changed after it was signed")) << output;
    WriteAll(dir_ + "/site/image.txt", image);
    std::string data = ReadAll(dir_ + "/site/files/data.bin_");
    data[data.size() - 1] ^= 1;
    WriteAll(dir_ + "/site/files/data.bin_", data);
    EXPECT_EQ(1, Check("", &output));
    EXPECT_NE(std::string::npos, output.find("/files/data.bin_ is not the file the image was signed with")) << output;

    // A signature past what the engine reads is told; an unsigned image fails --key.
    SigningKey key;
    ASSERT_TRUE(ReadSigningKey(dir_ + "/site.key", &key, &output)) << output;
    const std::string body = image.substr(0, image.find("'signature ")) + "'" + std::string(66000, 'x') + "\r\n";
    Sha256Bytes hash;
    SignatureBytes signature;
    ASSERT_TRUE(ToolSha256(body.data(), body.size(), &hash));
    ASSERT_TRUE(ToolSign(key.privateKey, key.publicKey, hash, &signature));
    WriteAll(dir_ + "/site/image.txt", body + SealSignatureLine(key.publicKey, signature));
    EXPECT_EQ(1, Check("", &output));
    EXPECT_NE(std::string::npos, output.find("past the 65535 the engine reads")) << output;
    WriteAll(dir_ + "/site.txt", manifest);
    ASSERT_EQ(0, Tool("publish " + dir_ + "/site.txt " + dir_ + "/site", &output)) << output;
    EXPECT_EQ(0, Check("", &output)) << output;
    EXPECT_EQ(1, Check("--key " + dir_ + "/site.key.pub", &output));
    EXPECT_NE(std::string::npos, output.find("the image is not signed")) << output;

    // A manifest whose signing cannot work writes nothing.
    const std::string before = ReadAll(dir_ + "/site/image.txt");
    WriteAll(dir_ + "/site.txt", manifest + "sign nosuch.key\n");
    EXPECT_EQ(2, Tool("publish " + dir_ + "/site.txt " + dir_ + "/site", &output));
    EXPECT_NE(std::string::npos, output.find("site.txt:5: cannot read the key file")) << output;
    WriteAll(dir_ + "/mixed.key", ReadAll(dir_ + "/site.key").substr(0, 87) + ReadAll(dir_ + "/other.key.pub"));
    WriteAll(dir_ + "/site.txt", manifest + "sign mixed.key\n");
    EXPECT_EQ(2, Tool("publish " + dir_ + "/site.txt " + dir_ + "/site", &output));
    EXPECT_NE(std::string::npos, output.find("do not belong together")) << output;
    WriteAll(dir_ + "/site.txt", manifest + "expires 7\n");
    EXPECT_EQ(2, Tool("publish " + dir_ + "/site.txt " + dir_ + "/site", &output));
    EXPECT_NE(std::string::npos, output.find("expires without sign")) << output;
    EXPECT_EQ(before, ReadAll(dir_ + "/site/image.txt"));
}
