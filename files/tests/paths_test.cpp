// Path texts: joins, directory and file-name parts, drive-letter paths, %SYSTEM%.
#include <gtest/gtest.h>

#include "files/paths.h"

TEST(Paths, JoinPutsASlashOnlyWhereNeitherSideHasASeparator) {
    EXPECT_EQ("C:\\App/sub\\f.txt", JoinPath("C:\\App", "sub\\f.txt"));
    EXPECT_EQ("C:\\App\\f.txt", JoinPath("C:\\App\\", "f.txt"));
    EXPECT_EQ("C:\\App\\f.txt", JoinPath("C:\\App", "\\f.txt"));
    EXPECT_EQ("C:/App//f.txt", JoinPath("C:/App/", "/f.txt"));  // kept as they stand
    EXPECT_EQ("/x.txt", JoinPath("", "x.txt"));
    EXPECT_EQ("", JoinPath("C:\\App", ""));
    EXPECT_EQ("", JoinPath("", ""));
}

TEST(Paths, DirectoryOfKeepsTheSeparatorAndNeverLooksAtTheFirstCharacter) {
    EXPECT_EQ("C:\\App\\", DirectoryOf("C:\\App\\f.txt"));
    EXPECT_EQ("C:\\App/sub\\", DirectoryOf("C:\\App/sub\\f.txt"));
    EXPECT_EQ("", DirectoryOf("f.txt"));
    EXPECT_EQ("", DirectoryOf("\\f.txt"));
    EXPECT_EQ("", DirectoryOf(""));
    EXPECT_EQ("a/", DirectoryOf("a/"));
}

TEST(Paths, FileNameOfIsEmptyWithoutASeparator) {
    EXPECT_EQ("c.rtp", FileNameOf("a/b/c.rtp"));
    EXPECT_EQ("c.rtp", FileNameOf("a\\b/c.rtp"));
    EXPECT_EQ("", FileNameOf("c.rtp"));
    EXPECT_EQ("", FileNameOf("/c.rtp"));
    EXPECT_EQ("", FileNameOf("a/"));
    EXPECT_EQ("", FileNameOf(""));
}

TEST(Paths, OnlyDriveLetterPathsAreAbsolute) {
    EXPECT_TRUE(IsAbsolutePath("C:\\x"));
    EXPECT_TRUE(IsAbsolutePath("d:/x"));
    EXPECT_TRUE(IsAbsolutePath("C:\\"));
    EXPECT_FALSE(IsAbsolutePath("C:"));
    EXPECT_FALSE(IsAbsolutePath("C:x"));
    EXPECT_FALSE(IsAbsolutePath("\\\\server\\share\\x"));
    EXPECT_FALSE(IsAbsolutePath("\\x"));
    EXPECT_FALSE(IsAbsolutePath(""));
}

TEST(Paths, SystemPlaceholderOnlyAtTheStartAndInAnyCase) {
    EXPECT_EQ("C:\\windows\\system32\\a.dll", ReplaceSystemPrefix("%SYSTEM%\\a.dll", "C:\\windows\\system32"));
    EXPECT_EQ("C:\\windows\\system32\\a.dll", ReplaceSystemPrefix("%system%\\a.dll", "C:\\windows\\system32"));
    EXPECT_EQ("SYSa.dll", ReplaceSystemPrefix("%SyStEm%a.dll", "SYS"));  // no separator inserted
    EXPECT_EQ("x%SYSTEM%y", ReplaceSystemPrefix("x%SYSTEM%y", "SYS"));
    EXPECT_EQ("%SYSTEM", ReplaceSystemPrefix("%SYSTEM", "SYS"));
    EXPECT_EQ("SYS", ReplaceSystemPrefix("%SYSTEM%", "SYS"));
}
