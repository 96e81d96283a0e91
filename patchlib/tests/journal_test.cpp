// The journal's reader: what the writer makes reads back the same, and a sealed
// journal (its checksum right) whose content is not one the applier could have
// written is refused all the same.
#include <gtest/gtest.h>

#include "patchlib/journal.h"
#include "patchlib/zlib_stream.h"

namespace {

Journal Sample() {
    Journal journal;
    journal.state = JournalState::kCommit;
    JournalStep replace{JournalStepKind::kReplace, "bin/app.exe", "bin/app.exe.hvnew0", "bin/app.exe.hvold0",
                        "bin/app.exe.hvold12", 12345, {}};
    replace.newHash[0] = 0xAB;
    JournalStep add{JournalStepKind::kAdd, "x/y/new.dll", "x/y/new.dll.hvnew3", "", "", 0, {}};
    JournalStep remove{JournalStepKind::kDelete, "old.cfg", "", "old.cfg.hvold0", "", 0, {}};
    journal.steps = {replace, add, remove};
    journal.directories = {"x", "x/y"};
    return journal;
}

bool SameJournal(const Journal& a, const Journal& b) {
    if (a.state != b.state || a.directories != b.directories || a.steps.size() != b.steps.size()) return false;
    for (size_t i = 0; i < a.steps.size(); ++i) {
        const JournalStep &x = a.steps[i], &y = b.steps[i];
        if (x.kind != y.kind || x.path != y.path || x.temp != y.temp || x.backup != y.backup || x.aside != y.aside ||
            x.newSize != y.newSize || x.newHash != y.newHash) {
            return false;
        }
    }
    return true;
}

TEST(JournalFormat, ReadsBackAndRefusesWhatTheApplierCouldNotHaveWritten) {
    Journal read;
    std::vector<uint8_t> bytes = WriteJournal(Sample());
    ASSERT_TRUE(ReadJournal(bytes.data(), bytes.size(), &read));
    EXPECT_TRUE(SameJournal(read, Sample()));

    const std::vector<std::function<void(Journal&)>> bad = {
        [](Journal& j) { j.state = static_cast<JournalState>(3); },
        [](Journal& j) { j.steps[0].kind = static_cast<JournalStepKind>(4); },
        [](Journal& j) { j.steps[0].path = "../app.exe"; },
        [](Journal& j) { j.steps[0].path = ".hvpatch-journal"; },
        [](Journal& j) { j.steps[0].temp = "bin/app.exe.hvnew"; },     // no number
        [](Journal& j) { j.steps[0].temp = "bin/app.exe.hvnew01"; },   // not as written
        [](Journal& j) { j.steps[0].temp = "bin/app.exe.hvold1"; },    // another kind of name
        [](Journal& j) { j.steps[0].aside = j.steps[0].backup; },
        [](Journal& j) { j.steps[1].temp = "x/y/other.dll.hvnew0"; },  // another file's
        [](Journal& j) { j.steps[2].backup = "old.cfg"; },             // the file itself
        [](Journal& j) { j.steps[1].newSize = 0x80000000u; },
        [](Journal& j) { j.directories.push_back("x/../.."); },
    };
    for (size_t i = 0; i < bad.size(); ++i) {
        Journal journal = Sample();
        bad[i](journal);
        bytes = WriteJournal(journal);
        EXPECT_FALSE(ReadJournal(bytes.data(), bytes.size(), &read)) << i;
    }

    // Sealed again after a change of the bytes themselves: a wrong version, a byte
    // left over, a count of steps beyond the end.
    const std::vector<uint8_t> good = WriteJournal(Sample());
    auto sealed = [&](size_t at, int change, size_t extra) {
        std::vector<uint8_t> b(good.begin(), good.end() - 4);
        b[at] = static_cast<uint8_t>(b[at] + change);
        b.insert(b.end(), extra, 0);
        const uint32_t crc = Crc32(b.data(), b.size());
        for (int k = 0; k < 4; ++k) b.push_back(static_cast<uint8_t>(crc >> (8 * k)));
        return ReadJournal(b.data(), b.size(), &read);
    };
    EXPECT_TRUE(sealed(0, 0, 0));
    EXPECT_FALSE(sealed(8, 1, 0));
    EXPECT_FALSE(sealed(0, 0, 1));
    EXPECT_FALSE(sealed(10, 0x70, 0));
}

}  // namespace
