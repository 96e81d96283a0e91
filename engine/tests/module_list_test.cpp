// The module list text: map order, every field followed by a bar.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "engine/image_parser.h"
#include "engine/module_list.h"

namespace {

UpdateImage Parse(const char* text) {
    std::vector<char> buffer(text, text + strlen(text));
    UpdateImage image;
    ParseImage(image, buffer.data(), buffer.size());
    return image;
}

}  // namespace

TEST(ModuleList, ModulesInMapOrderEachFieldFollowedByABar) {
    const UpdateImage image = Parse(
        "[VERSION 1]\r\n"
        "[Modules]\r\n"
        "MODULE Tools Handy tools\r\n"
        "FILE tools\\t.exe t.exe 1 1 1/2/2001 1:05:00 none\r\n"
        "MODULE Extras\r\n"
        "FILE extras\\e.dat e.dat 1 1 1/2/2001 1:05:00 none\r\n");
    EXPECT_EQ("Extras||Tools|Handy tools|", BuildModuleListText(image));
}

TEST(ModuleList, EmptyWithoutModulesAndByteOrderNotCaseOrder) {
    EXPECT_EQ("", BuildModuleListText(UpdateImage()));
    const UpdateImage image = Parse(
        "[VERSION 1]\n[Modules]\n"
        "MODULE beta b\nFILE b b 1 1 1/1/01 1:00:00 x\n"
        "MODULE Alpha a\nFILE a a 1 1 1/1/01 1:00:00 x\n"
        "MODULE alpha\nFILE c c 1 1 1/1/01 1:00:00 x\n");
    // Upper-case letters sort before lower-case ones: the comparison is byte-wise.
    EXPECT_EQ("Alpha|a|alpha||beta|b|", BuildModuleListText(image));
}
