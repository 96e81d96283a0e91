// The journal's reader: what the writer makes reads back the same, and a journal
// with its checksum right whose content the applier could not have written is
// refused all the same.
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

TEST(JournalFormat, ReadsBackAndRefusesWhatTheApplierCouldNotHaveWritten) {
    Journal read;
    std::vector<uint8_t> bytes = WriteJournal(Sample());
    ASSERT_TRUE(ReadJournal(bytes.data(), bytes.size(), &read));
    EXPECT_EQ(WriteJournal(read), bytes);

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

    // Sealed again with a byte left over.
    bytes = WriteJournal(Sample());
    bytes.resize(bytes.size() - 4);
    bytes.push_back(0);
    const uint32_t crc = Crc32(bytes.data(), bytes.size());
    for (int k = 0; k < 4; ++k) bytes.push_back(static_cast<uint8_t>(crc >> (8 * k)));
    EXPECT_FALSE(ReadJournal(bytes.data(), bytes.size(), &read));
}

}  // namespace
