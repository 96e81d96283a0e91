// Line patterns, quote protection and the image's decimal numbers.
#include <gtest/gtest.h>

#include <climits>

#include "engine/image_text.h"

TEST(MatchLinePattern, FieldsKeywordsAndSeparators) {
    std::vector<std::string> f;
    ASSERT_TRUE(MatchLinePattern("FROM V$ TO V$ $ $", "  from v5 To V6   a\\B.rtp   12 \r", f));
    EXPECT_EQ((std::vector<std::string>{"5", "6", "a\\B.rtp", "12"}), f);

    // The last field takes the rest of the line; fields keep their case.
    ASSERT_TRUE(MatchLinePattern("MODULE $ $", "Module Tools Handy   Tools", f));
    EXPECT_EQ((std::vector<std::string>{"Tools", "Handy   Tools"}), f);

    // A second blank right after the keyword leaves the first field empty.
    EXPECT_FALSE(MatchLinePattern("MODULE $ $", "MODULE  Tools x", f));
    // The keyword must open the line.
    EXPECT_FALSE(MatchLinePattern("MODULE $", "X MODULE Tools", f));
    // Too few fields.
    EXPECT_FALSE(MatchLinePattern("FROM V$ TO V$ $ $", "FROM V5 TO V6 a", f));
    EXPECT_FALSE(MatchLinePattern("MODULE $", "MODULE", f));
    // Literals must appear in pattern order.
    EXPECT_FALSE(MatchLinePattern("A=$;B=$;C=$", "A=1;C=3;B=2", f));
    ASSERT_TRUE(MatchLinePattern("A=$;B=$;C=$", "A=1;B=2;C=3", f));
    EXPECT_EQ((std::vector<std::string>{"1", "2", "3"}), f);
    // A field made only of quotes and blanks is empty.
    EXPECT_FALSE(MatchLinePattern("DELETE FILE $", "DELETE FILE \"\"", f));
    // Shapes other than literal-'$' pairs never match.
    EXPECT_FALSE(MatchLinePattern("$ X $", "a X b", f));
    EXPECT_FALSE(MatchLinePattern("X $ Y", "X a Y", f));
}

TEST(QuotedBlanks, ProtectAndRestore) {
    EXPECT_EQ("a \"b\xFF" "c\xFF\" d \"e\"", ProtectQuotedBlanks("a \"b c \" d \"e\""));
    // A quote left open protects up to the end of the line.
    EXPECT_EQ("a \"b\xFF" "c\" \"d\xFF" "e", ProtectQuotedBlanks("a \"b c\" \"d e"));
    EXPECT_EQ("b c", RestoreQuotedBlanks("\"b\xFF" "c\xFF\""));

    // A real 0xFF (and the escape byte itself) survives the round trip instead of turning
    // into a blank; fields that are not restored keep protected blanks as 0xFF.
    const std::string guarded = ProtectQuotedBlanks("FILE \"caf\xFF x\x01.dat\" y");
    EXPECT_EQ("FILE \"caf\x01\xFF\xFFx\x01\x01.dat\" y", guarded);
    EXPECT_EQ("caf\xFF x\x01.dat", RestoreQuotedBlanks("\"caf\x01\xFF\xFFx\x01\x01.dat\""));
    EXPECT_EQ("caf\xFF\xFFx\x01.dat", DropProtectionEscapes("caf\x01\xFF\xFFx\x01\x01.dat"));
}

TEST(ImageNumbers, SignsBlanksAndOverflow) {
    EXPECT_EQ(0, ReadImageInt32(""));
    EXPECT_EQ(0, ReadImageInt32("abc"));
    EXPECT_EQ(-12, ReadImageInt32("  -12abc"));
    EXPECT_EQ(7, ReadImageInt32("+7"));
    EXPECT_EQ(0, ReadImageInt32("- 7"));
    EXPECT_EQ(INT_MAX, ReadImageInt32("2147483648"));
    EXPECT_EQ(INT_MIN, ReadImageInt32("-99999999999999999999999"));
    EXPECT_EQ(2147483647, ReadImageInt32("2147483647"));

    EXPECT_EQ(3000000000u, ReadImageUInt32("3000000000"));
    EXPECT_EQ(4294967295u, ReadImageUInt32("4294967295"));
    EXPECT_EQ(4294967295u, ReadImageUInt32("123456789012345678901234567890"));
    EXPECT_EQ(4294967295u, ReadImageUInt32("-1"));
    EXPECT_EQ(1200u, ReadImageUInt32("1200 bytes"));
}
