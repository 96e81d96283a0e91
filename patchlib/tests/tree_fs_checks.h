// What the applier relies on from the piecewise writer of a tree on real files, checked
// the same way natively and under Wine: a name in use is refused, a finished file holds
// its pieces, an unfinished one leaves nothing behind.
#pragma once
#include <gtest/gtest.h>

#include "patchlib/tests/test_data.h"
#include "patchlib/tree_fs.h"

inline void CheckNewFilesInPieces(TreeFileSystem& tree) {
    ASSERT_TRUE(tree.WriteNewFile("taken.txt", ToBytes("x").data(), 1));
    EXPECT_EQ(tree.CreateNewFile("taken.txt"), nullptr);
    TestRandom random(3);
    const std::vector<uint8_t> big = random.Bytes(3 << 20);  // more than one write of the system
    {
        const std::unique_ptr<TreeFileSystem::NewFile> file = tree.CreateNewFile("kept.bin");
        ASSERT_TRUE(file);
        ASSERT_TRUE(file->Write(big.data(), 1000));
        ASSERT_TRUE(file->Write(big.data() + 1000, big.size() - 1000));
        ASSERT_TRUE(file->Finish());
    }
    std::vector<uint8_t> read;
    ASSERT_TRUE(tree.ReadFile("kept.bin", big.size(), &read));
    EXPECT_TRUE(read == big);
    {
        const std::unique_ptr<TreeFileSystem::NewFile> file = tree.CreateNewFile("dropped.bin");
        ASSERT_TRUE(file);
        ASSERT_TRUE(file->Write(big.data(), 100000));
    }
    EXPECT_EQ(tree.Stat("dropped.bin", nullptr), TreeFileSystem::Kind::kMissing);
    EXPECT_EQ(tree.Stat("taken.txt", nullptr), TreeFileSystem::Kind::kFile);
}
