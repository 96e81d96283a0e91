// makepatch from the outside: trees and single files, applying, and what happens with
// bad inputs (exit codes, and no output file written half or at all).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "patchlib/patch_format.h"
#include "patchlib/tests/test_data.h"

namespace fs = std::filesystem;

namespace {

class MakepatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        work_ = fs::temp_directory_path() / ("makepatch_test_" + std::to_string(getpid()));
        fs::remove_all(work_);
        fs::create_directories(work_);
    }
    void TearDown() override { fs::remove_all(work_); }

    static int Run(const std::vector<std::string>& args) {
        std::string command = "'" MAKEPATCH_PATH "'";
        for (const std::string& a : args) command += " '" + a + "'";
        command += " >/dev/null 2>&1";
        const int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    fs::path Path(const std::string& name) const { return work_ / name; }
    std::string P(const std::string& name) const { return Path(name).string(); }
    void Write(const std::string& name, const std::vector<uint8_t>& bytes) const {
        fs::create_directories(Path(name).parent_path());
        std::ofstream(Path(name), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    std::vector<uint8_t> Read(const std::string& name) const {
        std::ifstream in(Path(name), std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
    }
    std::map<std::string, std::vector<uint8_t>> Snapshot(const std::string& dir) const {
        std::map<std::string, std::vector<uint8_t>> files;
        for (const auto& e : fs::recursive_directory_iterator(Path(dir))) {
            if (e.is_regular_file()) files[fs::relative(e.path(), Path(dir)).generic_string()] = Read(fs::relative(e.path(), work_).string());
        }
        return files;
    }

    fs::path work_;
};

TEST_F(MakepatchTest, TreePatchTurnsOldIntoNew) {
    TestRandom random(1);
    const std::vector<uint8_t> big = random.Bytes(300000);
    std::vector<uint8_t> big2 = big;
    big2[1234] ^= 1;
    Write("old/bin/app.exe", big);
    Write("old/keep.txt", ToBytes("same"));
    Write("old/gone.txt", ToBytes("bye"));
    Write("new/bin/app.exe", big2);
    Write("new/keep.txt", ToBytes("same"));
    Write("new/docs/new.txt", ToBytes("hello"));

    ASSERT_EQ(Run({P("old"), P("new"), P("p.rtp"), "--comment", "to 2.0", "--copyright", "Tolbeck"}), 0);
    const std::vector<uint8_t> patch = Read("p.rtp");
    PatchContents contents;
    ASSERT_EQ(ReadPatch(patch.data(), patch.size(), &contents), PatchReadStatus::kOk);
    EXPECT_EQ(contents.comment, "to 2.0");
    EXPECT_EQ(contents.copyright, "Tolbeck");
    ASSERT_EQ(contents.entries.size(), 3u);  // the unchanged file is left out
    EXPECT_EQ(contents.entries[0].path, "bin/app.exe");
    EXPECT_EQ(contents.entries[0].kind, EntryKind::kPatch);
    EXPECT_EQ(contents.entries[1].path, "docs/new.txt");
    EXPECT_EQ(contents.entries[1].kind, EntryKind::kAdd);
    EXPECT_EQ(contents.entries[2].path, "gone.txt");
    EXPECT_EQ(contents.entries[2].kind, EntryKind::kDelete);
    EXPECT_LT(patch.size(), 1000u);

    fs::copy(Path("old"), Path("target"), fs::copy_options::recursive);
    ASSERT_EQ(Run({"--apply", P("target"), P("p.rtp")}), 0);
    EXPECT_TRUE(Snapshot("target") == Snapshot("new"));
    // Once more: already the new version.
    EXPECT_EQ(Run({"--apply", P("target"), P("p.rtp")}), 0);
    // Against the old tree with one file changed: refused, nothing touched.
    fs::copy(Path("old"), Path("other"), fs::copy_options::recursive);
    Write("other/gone.txt", ToBytes("edited"));
    const auto before = Snapshot("other");
    EXPECT_EQ(Run({"--apply", P("other"), P("p.rtp")}), 5);
    EXPECT_TRUE(Snapshot("other") == before);

    // Identical trees give a patch of no records.
    ASSERT_EQ(Run({P("new"), P("new"), P("empty.rtp")}), 0);
    const std::vector<uint8_t> empty = Read("empty.rtp");
    ASSERT_EQ(ReadPatch(empty.data(), empty.size(), &contents), PatchReadStatus::kOk);
    EXPECT_TRUE(contents.entries.empty());
}

TEST_F(MakepatchTest, FilePatchIsNamedAfterTheNewFile) {
    TestRandom random(2);
    std::vector<uint8_t> v1 = random.Bytes(100000), v2 = v1;
    v2.insert(v2.begin() + 500, 100, 7);
    Write("v1/tool.dll", v1);
    Write("v2/Tool-2.dll", v2);
    ASSERT_EQ(Run({"--file", P("v1/tool.dll"), P("v2/Tool-2.dll"), P("t.rtp")}), 0);
    const std::vector<uint8_t> patch = Read("t.rtp");
    PatchContents contents;
    ASSERT_EQ(ReadPatch(patch.data(), patch.size(), &contents), PatchReadStatus::kOk);
    ASSERT_EQ(contents.entries.size(), 1u);
    EXPECT_EQ(contents.entries[0].path, "Tool-2.dll");

    ASSERT_EQ(Run({"--apply-file", P("v1/tool.dll"), P("t.rtp"), P("out.dll")}), 0);
    EXPECT_EQ(Read("out.dll"), v2);
    EXPECT_EQ(Read("v1/tool.dll"), v1);  // the old file stays as it was
    // The wrong old file: refused, no output.
    EXPECT_EQ(Run({"--apply-file", P("v2/Tool-2.dll"), P("t.rtp"), P("out2.dll")}), 5);
    EXPECT_FALSE(fs::exists(Path("out2.dll")));
    // Format 1 on request: what a patch library from before format 2 reads.
    EXPECT_EQ(patch[8], 2);
    ASSERT_EQ(Run({"--file", "--format", "1", P("v1/tool.dll"), P("v2/Tool-2.dll"), P("f1.rtp")}), 0);
    EXPECT_EQ(Read("f1.rtp")[8], 1);
    ASSERT_EQ(Run({"--apply-file", P("v1/tool.dll"), P("f1.rtp"), P("out1.dll")}), 0);
    EXPECT_EQ(Read("out1.dll"), v2);
    EXPECT_EQ(Run({"--file", "--format", "3", P("v1/tool.dll"), P("v2/Tool-2.dll"), P("f3.rtp")}), 1);
    // The x86 filter is an option of the same format.
    ASSERT_EQ(Run({"--file", "--x86-filter", P("v1/tool.dll"), P("v2/Tool-2.dll"), P("x.rtp")}), 0);
    ASSERT_EQ(Run({"--apply-file", P("v1/tool.dll"), P("x.rtp"), P("out3.dll")}), 0);
    EXPECT_EQ(Read("out3.dll"), v2);
    // A result that fails its checksum, found only after it was written out piece by
    // piece: the output keeps what it held and nothing else is left.
    std::vector<uint8_t> lying = patch;
    ASSERT_TRUE(DamageNewHash(lying, v2));
    Write("lying.rtp", lying);
    EXPECT_EQ(Run({"--apply-file", P("v1/tool.dll"), P("lying.rtp"), P("out.dll")}), 5);
    EXPECT_EQ(Read("out.dll"), v2);
    for (const auto& e : fs::directory_iterator(work_)) {
        EXPECT_EQ(e.path().string().find(".part"), std::string::npos) << e.path();
    }
}

// Names on disk are UTF-8 bytes here and go into the patch as they are; names that are
// not UTF-8, that collide without case, or that name devices cannot be carried.
TEST_F(MakepatchTest, Utf8NamesAreCarriedAsTheyAre) {
    const std::string soft = "\xE3\x82\xBD\xE3\x83\x95\xE3\x83\x88";  // ソフト
    const std::vector<std::string> added = {soft + "/\xE8\xA1\xA8\xE7\xA4\xBA.dat", "\xE3\x82\xA2.txt",
                                            "\xE3\x83\x81.txt"};  // ソフト/表示.dat, ア.txt, チ.txt
    Write("old/" + soft + ".dll", ToBytes("v1"));
    Write("new/" + soft + ".dll", ToBytes("v2"));
    for (const std::string& name : added) Write("new/" + name, ToBytes(name));
    const std::string comment = "\xE7\x89\x88 2";  // 版 2
    ASSERT_EQ(Run({P("old"), P("new"), P("u.rtp"), "--comment", comment}), 0);
    const std::vector<uint8_t> patch = Read("u.rtp");
    PatchContents contents;
    ASSERT_EQ(ReadPatch(patch.data(), patch.size(), &contents), PatchReadStatus::kOk);
    EXPECT_EQ(contents.comment, comment);
    std::set<std::string> names;
    for (const PatchEntry& entry : contents.entries) names.insert(entry.path);
    std::set<std::string> expected(added.begin(), added.end());
    expected.insert(soft + ".dll");
    EXPECT_EQ(names, expected);
    fs::copy(Path("old"), Path("target"), fs::copy_options::recursive);
    ASSERT_EQ(Run({"--apply", P("target"), P("u.rtp")}), 0);
    EXPECT_TRUE(Snapshot("target") == Snapshot("new"));

    const std::vector<std::vector<std::string>> refused = {
        {"\xC3\x89.txt", "\xC3\xA9.txt"},  // É é: one file on Windows
        {"\xCE\xA3", "\xCF\x82"},          // Σ ς
        {"caf\xE9.txt"},                     // Latin-1, not UTF-8
        {"COM\xC2\xB9.txt"}};               // a device
    for (size_t i = 0; i < refused.size(); ++i) {
        const std::string dir = "bad" + std::to_string(i);
        for (const std::string& name : refused[i]) Write(dir + "/" + name, ToBytes(name));
        EXPECT_EQ(Run({P("old"), P(dir), P(dir + ".rtp")}), 4) << refused[i][0];
        EXPECT_FALSE(fs::exists(Path(dir + ".rtp"))) << refused[i][0];
    }
    EXPECT_EQ(Run({P("old"), P("new"), P("c.rtp"), "--copyright", "\xA9 Tolbeck"}), 4);
    EXPECT_FALSE(fs::exists(Path("c.rtp")));
}

TEST_F(MakepatchTest, BadInputsGiveClearCodesAndNoOutput) {
    Write("old/a.txt", ToBytes("a"));
    Write("new/a.txt", ToBytes("b"));
    Write("keep.rtp", ToBytes("previous output"));

    EXPECT_EQ(Run({P("missing"), P("new"), P("out.rtp")}), 2);
    EXPECT_EQ(Run({P("old"), P("missing"), P("out.rtp")}), 2);
    EXPECT_EQ(Run({"--file", P("old/none.txt"), P("new/a.txt"), P("out.rtp")}), 2);
    EXPECT_EQ(Run({"--file", P("old"), P("new/a.txt"), P("out.rtp")}), 2);  // a directory is no file
    EXPECT_EQ(Run({"--apply", P("old"), P("none.rtp")}), 2);
    EXPECT_FALSE(fs::exists(Path("out.rtp")));

    // A name no patch may carry (a device name on Windows).
    Write("new/aux.txt", ToBytes("x"));
    EXPECT_EQ(Run({P("old"), P("new"), P("keep.rtp")}), 4);
    EXPECT_EQ(Read("keep.rtp"), ToBytes("previous output"));

    // An output that cannot be written leaves no partial file behind.
    fs::remove(Path("new/aux.txt"));
    EXPECT_EQ(Run({P("old"), P("new"), P("no/such/dir/out.rtp")}), 3);
    ASSERT_EQ(Run({P("old"), P("new"), P("keep.rtp")}), 0);
    for (const auto& e : fs::directory_iterator(work_)) {
        EXPECT_EQ(e.path().string().find(".part"), std::string::npos) << e.path();
    }

    EXPECT_EQ(Run({}), 1);
    EXPECT_EQ(Run({P("old"), P("new")}), 1);
    EXPECT_EQ(Run({"--bogus", P("old"), P("new"), P("x")}), 1);
    EXPECT_EQ(Run({"--apply", P("old"), P("keep.rtp"), "extra"}), 1);
    EXPECT_EQ(Run({"--level", "12", P("old"), P("new"), P("x")}), 1);
}

}  // namespace
