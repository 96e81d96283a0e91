// The PE layout reader: a small image of each machine built here, every cut and damaged
// header refused, and the project's own Windows binaries when the build made them.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "patchlib/pe_layout.h"

namespace {

void Put16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    Put16(b, at, v);
    Put16(b, at + 2, v >> 16);
}

// MZ header, PE header, a code section at 0x1000 (file 0x200) and a relocation section at
// 0x2000 (file 0x400), 0x200 bytes each; the relocations name 0x1010 and 0x1020 of the
// machine's kind, and carry padding, an entry of the other kind and one that runs past
// the code section's data.
std::vector<uint8_t> SmallImage(bool amd64) {
    std::vector<uint8_t> b(0x600, 0);
    b[0] = 'M';
    b[1] = 'Z';
    Put32(b, 0x3C, 0x40);
    Put32(b, 0x40, 0x00004550);
    const size_t coff = 0x44;
    Put16(b, coff, amd64 ? 0x8664 : 0x014C);
    Put16(b, coff + 2, 2);
    const uint16_t optionalSize = amd64 ? 240 : 224;
    Put16(b, coff + 16, optionalSize);
    const size_t optional = coff + 20;
    Put16(b, optional, amd64 ? 0x20B : 0x10B);
    Put32(b, optional + (amd64 ? 24 : 28), 0x400000);
    Put32(b, optional + 56, 0x3000);
    const size_t count = optional + (amd64 ? 108 : 92);
    Put32(b, count, 16);
    Put32(b, count + 4 + 5 * 8, 0x2000);  // relocation directory
    Put32(b, count + 4 + 5 * 8 + 4, 16);
    const size_t table = optional + optionalSize;
    // Virtual size, address, raw size, raw offset.
    const uint32_t sections[2][4] = {{0x200, 0x1000, 0x200, 0x200}, {0x200, 0x2000, 0x200, 0x400}};
    for (size_t i = 0; i < 2; ++i) {
        for (size_t f = 0; f < 4; ++f) Put32(b, table + i * 40 + 8 + f * 4, sections[i][f]);
    }
    Put32(b, table + 36, 0x60000020);
    Put32(b, table + 40 + 36, 0x42000040);
    const uint16_t kind = amd64 ? 10 : 3, other = amd64 ? 3 : 10;
    Put32(b, 0x400, 0x1000);
    Put32(b, 0x404, 16);
    Put16(b, 0x408, kind << 12 | 0x010);
    Put16(b, 0x40A, kind << 12 | 0x020);
    Put16(b, 0x40C, other << 12 | 0x030);
    Put16(b, 0x40E, kind << 12 | 0x1FE);  // its bytes would run past the section's data
    return b;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

TEST(PeLayout, ReadsBothMachinesAndRefusesWhatIsNotWhole) {
    for (const bool amd64 : {false, true}) {
        SCOPED_TRACE(amd64 ? "x86-64" : "i386");
        std::vector<uint8_t> image = SmallImage(amd64);
        ExecutableLayout layout;
        ASSERT_TRUE(ReadPeLayout(image.data(), image.size(), &layout));
        EXPECT_EQ(amd64 ? ExecutableMachine::kAmd64 : ExecutableMachine::kI386, layout.machine);
        EXPECT_EQ(0x400000u, layout.imageBase);
        ASSERT_EQ(2u, layout.sections.size());
        EXPECT_TRUE(layout.sections[0].Executable());
        EXPECT_FALSE(layout.sections[1].Executable());
        EXPECT_EQ((std::vector<uint32_t>{0x210, 0x220}), layout.absoluteAddresses);
        uint32_t offset = 0;
        EXPECT_TRUE(FileOffsetOf(layout, 0x11FF, &offset));
        EXPECT_EQ(0x3FFu, offset);
        EXPECT_FALSE(FileOffsetOf(layout, 0x1200, &offset));

        // Every cut leaves a section's data outside the bytes.
        for (size_t cut = 0; cut < image.size(); cut += 7) {
            ExecutableLayout untouched;
            EXPECT_FALSE(ReadPeLayout(image.data(), cut, &untouched)) << cut;
            EXPECT_TRUE(untouched.sections.empty());
        }
        // Damaged headers, each refused.
        struct Damage {
            size_t at;
            uint32_t value;
            unsigned width;
        };
        const size_t optional = 0x44 + 20;
        for (const Damage& d : {Damage{0, 'X', 1}, Damage{0x3C, 0xFFFFFFF0u, 4}, Damage{0x40, 0x4551, 4},
                                Damage{0x44, 0x01C0, 2}, Damage{0x46, 0, 2}, Damage{0x46, 97, 2},
                                Damage{optional, amd64 ? 0x10Bu : 0x20Bu, 2}, Damage{0x404, 7, 4},
                                Damage{0x404, 0x1000, 4}}) {
            std::vector<uint8_t> damaged = image;
            if (d.width == 1) damaged[d.at] = static_cast<uint8_t>(d.value);
            if (d.width == 2) Put16(damaged, d.at, d.value);
            if (d.width == 4) Put32(damaged, d.at, d.value);
            EXPECT_FALSE(ReadPeLayout(damaged.data(), damaged.size(), &layout)) << "damage at " << d.at;
        }
    }
}

// The project's own programs, as the linker made them: every relocated address points
// into the image.
TEST(PeLayout, TheProjectsOwnBinaries) {
    size_t seen = 0;
    for (const char* arch : {"i686", "x86_64"}) {
        const std::string path = std::string(HALVORIN_SOURCE_DIR) + "/out/" + arch + "/bin/patchw32.dll";
        const std::vector<uint8_t> file = ReadFile(path);
        if (file.empty()) continue;
        ++seen;
        ExecutableLayout layout;
        ASSERT_TRUE(ReadPeLayout(file.data(), file.size(), &layout)) << path;
        EXPECT_EQ(std::string(arch) == "x86_64" ? ExecutableMachine::kAmd64 : ExecutableMachine::kI386, layout.machine);
        ASSERT_FALSE(layout.absoluteAddresses.empty()) << path;
        const unsigned width = layout.machine == ExecutableMachine::kAmd64 ? 8 : 4;
        for (uint32_t offset : layout.absoluteAddresses) {
            uint64_t value = 0;
            std::memcpy(&value, file.data() + offset, width);
            ASSERT_GE(value, layout.imageBase) << path << " at " << offset;
            ASSERT_LT(value - layout.imageBase, layout.sizeOfImage) << path << " at " << offset;
        }
    }
    if (seen == 0) GTEST_SKIP() << "no Windows build here (scripts/build.sh makes one)";
}
