// SHA-256 (the platform's) against the published test vectors, and in pieces of every size.
#include <gtest/gtest.h>

#include <string>

#include "patchlib/sha256.h"
#include "patchlib/tests/test_data.h"

namespace {

std::string Hex(const Sha256Digest& digest) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t b : digest) {
        text += kDigits[b >> 4];
        text += kDigits[b & 15];
    }
    return text;
}

std::string HashText(const std::string& text) { return Hex(Sha256::Of(text.data(), text.size())); }

TEST(Sha256, PublishedVectors) {
    EXPECT_EQ(HashText(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(HashText("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(HashText("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(HashText("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu"),
              "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
    Sha256 million;
    const std::string chunk(1000, 'a');
    for (int i = 0; i < 1000; ++i) million.Update(chunk.data(), chunk.size());
    EXPECT_EQ(Hex(million.Finish()), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256, PiecesOfEverySizeGiveTheSameSumAndFinishStartsAnew) {
    TestRandom random(7);
    for (size_t size : {0u, 1u, 55u, 56u, 63u, 64u, 65u, 119u, 120u, 128u, 1000u}) {
        const std::vector<uint8_t> data = random.Bytes(size);
        const Sha256Digest whole = Sha256::Of(data.data(), data.size());
        for (size_t piece = 1; piece <= 70; piece += 3) {
            Sha256 hash;
            for (size_t at = 0; at < size; at += piece) hash.Update(data.data() + at, std::min(piece, size - at));
            ASSERT_EQ(Hex(hash.Finish()), Hex(whole)) << "size " << size << " piece " << piece;
            hash.Update(data.data(), size);
            ASSERT_EQ(Hex(hash.Finish()), Hex(whole)) << "a finished hash starts again";
        }
    }
}

}  // namespace
