// Delta coder: round trips on generated pairs, sizes that show the matcher works, the
// x86 filter, progress and stopping, and damaged payloads.
#include <gtest/gtest.h>

#include <algorithm>

#include "patchlib/delta.h"
#include "patchlib/byte_io.h"
#include "patchlib/delta_layout.h"
#include "patchlib/tests/test_data.h"
#include "patchlib/x86_filter.h"

namespace {

std::vector<uint8_t> Encode(const std::vector<uint8_t>& oldData, const std::vector<uint8_t>& newData,
                            const DeltaOptions& options = DeltaOptions()) {
    std::vector<uint8_t> payload;
    EXPECT_TRUE(EncodeDelta(oldData.data(), oldData.size(), newData.data(), newData.size(), &payload, options));
    return payload;
}

// Encodes, decodes, checks the result and returns the payload size.
size_t RoundTrip(const std::vector<uint8_t>& oldData, const std::vector<uint8_t>& newData,
                 const DeltaOptions& options = DeltaOptions()) {
    const std::vector<uint8_t> payload = Encode(oldData, newData, options);
    std::vector<uint8_t> rebuilt;
    EXPECT_EQ(DecodeDelta(oldData.data(), oldData.size(), payload.data(), payload.size(), newData.size(), &rebuilt),
              DeltaStatus::kOk);
    EXPECT_TRUE(rebuilt == newData) << "old " << oldData.size() << " new " << newData.size();
    return payload.size();
}

TEST(Delta, RoundTripsOnGeneratedPairs) {
    TestRandom random(1);
    const std::vector<uint8_t> base = random.Bytes(100000);
    const std::vector<uint8_t> text = random.Bytes(60000, 5);

    // Identical, empty on either side, both empty, unrelated.
    EXPECT_LT(RoundTrip(base, base), 200u);
    RoundTrip({}, base);
    EXPECT_LT(RoundTrip(base, {}), 100u);
    RoundTrip({}, {});
    RoundTrip(random.Bytes(1), random.Bytes(1));
    RoundTrip(base, random.Bytes(50000));
    RoundTrip(text, base);

    // Scattered byte changes cost a little each.
    std::vector<uint8_t> changed = base;
    for (int i = 0; i < 100; ++i) changed[random.Below(changed.size())] ^= 0x5A;
    EXPECT_LT(RoundTrip(base, changed), 2000u);

    // Everything shifted by an inserted prefix.
    std::vector<uint8_t> shifted = random.Bytes(37);
    shifted.insert(shifted.end(), base.begin(), base.end());
    EXPECT_LT(RoundTrip(base, shifted), 300u);

    // Blocks inserted, deleted and moved.
    std::vector<uint8_t> edited(base.begin(), base.begin() + 20000);
    const std::vector<uint8_t> inserted = random.Bytes(1000);
    edited.insert(edited.end(), inserted.begin(), inserted.end());
    edited.insert(edited.end(), base.begin() + 30000, base.begin() + 70000);   // 10000 deleted
    edited.insert(edited.end(), base.begin() + 90000, base.end());            // moved before
    edited.insert(edited.end(), base.begin() + 70000, base.begin() + 90000);
    EXPECT_LT(RoundTrip(base, edited), 1000u + 400u);

    // Repetitive text with edits.
    std::vector<uint8_t> textEdited = text;
    textEdited.erase(textEdited.begin() + 100, textEdited.begin() + 400);
    textEdited.insert(textEdited.begin() + 5000, text.begin(), text.begin() + 3000);
    RoundTrip(text, textEdited);
}

TEST(Delta, LongRunsOfEqualBytesStayFast) {
    // Runs defeat a naive approximate matcher (time quadratic in the run length).
    std::vector<uint8_t> oldData(1 << 21, 0), newData(1 << 21, 0);
    for (size_t i = 0; i < oldData.size(); i += 65536) oldData[i] = 1;
    for (size_t i = 1000; i < newData.size(); i += 50000) newData[i] = 2;
    EXPECT_LT(RoundTrip(oldData, newData), 600u);
    std::vector<uint8_t> pattern(1 << 20);
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>("abcab"[i % 5]);
    std::vector<uint8_t> patternShifted(pattern.begin() + 3, pattern.end());
    EXPECT_LT(RoundTrip(pattern, patternShifted), 150u);
}

TEST(Delta, X86FilterIsReversible) {
    TestRandom random(2);
    for (size_t size : {0u, 1u, 4u, 5u, 6u, 9u, 1000u, 70000u}) {
        std::vector<uint8_t> data = random.Bytes(size);
        for (size_t i = 0; i < size; i += 7) data[i] = static_cast<uint8_t>(0xE8 + (i & 1));
        for (size_t i = 4; i < size; i += 14) data[i] = (i & 2) ? 0xFF : 0x00;
        std::vector<uint8_t> copy = data;
        X86Filter(copy.data(), copy.size());
        X86Unfilter(copy.data(), copy.size());
        ASSERT_EQ(copy, data) << size;
    }
    // Dense opcode and boundary bytes, where one operand overlaps the next candidate.
    for (int round = 0; round < 300; ++round) {
        std::vector<uint8_t> data = random.Bytes(200 + random.Below(300));
        static const uint8_t kTricky[] = {0xE8, 0xE9, 0x00, 0xFF, 0xFE, 0x01};
        for (auto& b : data) {
            if (random.Below(3)) b = kTricky[random.Below(sizeof kTricky)];
        }
        std::vector<uint8_t> copy = data;
        X86Filter(copy.data(), copy.size());
        X86Unfilter(copy.data(), copy.size());
        ASSERT_EQ(copy, data) << round;
    }

    TestRandom programs(9);
    const std::vector<uint8_t> oldProgram = FakeProgram(programs, 2000);
    std::vector<uint8_t> newProgram = oldProgram;
    const std::vector<uint8_t> insert = FakeProgram(programs, 20);
    newProgram.insert(newProgram.begin() + 1000, insert.begin(), insert.end());
    DeltaOptions filtered;
    filtered.filter = DeltaFilter::kX86;
    RoundTrip(oldProgram, newProgram, filtered);
    RoundTrip(newProgram, oldProgram, filtered);
    RoundTrip({}, newProgram, filtered);
}

class CountingProgress : public DeltaProgress {
public:
    int calls = 0;
    uint64_t last = 0;
    int stopAt = 0;  // 0: never
    bool Advance(uint64_t done, uint64_t total) override {
        ++calls;
        EXPECT_GT(done, last);
        EXPECT_LT(done, total);
        last = done;
        return calls != stopAt;
    }
};

TEST(Delta, ReportsProgressAndStopsWhenAsked) {
    TestRandom random(4);
    const std::vector<uint8_t> oldData = random.Bytes(3 << 20);
    std::vector<uint8_t> newData = oldData;
    for (int i = 0; i < 50; ++i) newData[random.Below(newData.size())] ^= 1;
    const std::vector<uint8_t> payload = Encode(oldData, newData);
    std::vector<uint8_t> out;

    CountingProgress progress;
    ASSERT_EQ(DecodeDelta(oldData.data(), oldData.size(), payload.data(), payload.size(), newData.size(), &out, &progress),
              DeltaStatus::kOk);
    EXPECT_GE(progress.calls, 8);

    CountingProgress stopping;
    stopping.stopAt = 2;
    EXPECT_EQ(DecodeDelta(oldData.data(), oldData.size(), payload.data(), payload.size(), newData.size(), &out, &stopping),
              DeltaStatus::kStopped);
    EXPECT_EQ(stopping.calls, 2);
}

// The new content comes out in pieces, in order and never more than one slice at a time,
// with or without the x86 filter; a sink that refuses a piece stops decoding there.
TEST(Delta, HandsOnTheNewContentInSlices) {
    class Pieces : public DeltaSink {
    public:
        std::vector<uint8_t> all;
        size_t pieces = 0, largest = 0, refuseAt = 0;
        bool Take(const uint8_t* data, size_t size) override {
            if (++pieces == refuseAt) return false;
            largest = std::max(largest, size);
            all.insert(all.end(), data, data + size);
            return true;
        }
    };
    TestRandom random(5);
    const std::vector<uint8_t> oldData = FakeProgram(random, 3000);
    std::vector<uint8_t> newData = oldData;
    newData.insert(newData.begin() + 5000, 70000, 0x90);
    for (DeltaFilter filter : {DeltaFilter::kNone, DeltaFilter::kX86}) {
        DeltaOptions options;
        options.filter = filter;
        const std::vector<uint8_t> payload = Encode(oldData, newData, options);
        Pieces sink;
        ASSERT_EQ(DecodeDelta(oldData.data(), oldData.size(), payload.data(), payload.size(), newData.size(), &sink),
                  DeltaStatus::kOk);
        EXPECT_TRUE(sink.all == newData);
        EXPECT_EQ(sink.largest, 64u << 10);
        EXPECT_EQ(sink.pieces, (newData.size() + (64u << 10) - 1) / (64u << 10));

        Pieces refusing;
        refusing.refuseAt = 2;
        EXPECT_EQ(DecodeDelta(oldData.data(), oldData.size(), payload.data(), payload.size(), newData.size(), &refusing),
                  DeltaStatus::kNoMemory);
        EXPECT_EQ(refusing.pieces, 2u);
    }
}

// A small fix makes a small delta: streams that deflate would not shrink are stored as
// they are, and the zeros after the last change are implied. Read as deflate, the same
// bytes are refused.
TEST(Delta, SmallDeltasStoreTheirStreamsAsTheyAre) {
    TestRandom random(6);
    const std::vector<uint8_t> oldData = random.Bytes(50000);
    std::vector<uint8_t> newData = oldData;
    newData[100] ^= 0x55;
    newData[30000] ^= 0x11;
    const std::vector<uint8_t> payload = Encode(oldData, newData);
    ByteReader reader(payload.data(), payload.size());
    DeltaHeader header;
    ASSERT_TRUE(header.Read(reader));
    EXPECT_EQ(header.coding, StreamCoding::kCompact);
    EXPECT_TRUE(header.Stored(kControlStream) && header.Stored(kGapStream) && header.Stored(kByteStream));
    EXPECT_EQ(header.raw[kGapStream], 4u);  // 100 and 29899 zeros; none for the tail
    EXPECT_LE(payload.size(), 26u);
    std::vector<uint8_t> out;
    ASSERT_EQ(DecodeDelta(oldData.data(), oldData.size(), payload.data(), payload.size(), newData.size(), &out),
              DeltaStatus::kOk);
    EXPECT_TRUE(out == newData);
    std::vector<uint8_t> plain = payload;
    plain[1] = static_cast<uint8_t>(StreamCoding::kPlain);
    EXPECT_EQ(DecodeDelta(oldData.data(), oldData.size(), plain.data(), plain.size(), newData.size(), &out),
              DeltaStatus::kCorrupt);
}

TEST(Delta, DamagedPayloadsAreRefusedWithoutHarm) {
    TestRandom random(6);
    const std::vector<uint8_t> oldData = random.Bytes(5000);
    std::vector<uint8_t> newData(oldData.begin() + 100, oldData.end());
    const std::vector<uint8_t> extra = random.Bytes(300);
    newData.insert(newData.begin() + 2000, extra.begin(), extra.end());
    const std::vector<uint8_t> payload = Encode(oldData, newData);
    std::vector<uint8_t> out;

    // Every truncation, and the wrong declared size.
    for (size_t cut = 0; cut < payload.size(); ++cut) {
        ASSERT_EQ(DecodeDelta(oldData.data(), oldData.size(), payload.data(), cut, newData.size(), &out),
                  DeltaStatus::kCorrupt) << cut;
    }
    EXPECT_EQ(DecodeDelta(oldData.data(), oldData.size(), payload.data(), payload.size(), newData.size() + 1, &out),
              DeltaStatus::kCorrupt);
    // A shorter old file than the one the delta was made from.
    EXPECT_EQ(DecodeDelta(oldData.data(), 3000, payload.data(), payload.size(), newData.size(), &out),
              DeltaStatus::kCorrupt);

    // Absurd or inconsistent lengths in the header are refused before any allocation.
    ByteReader reader(payload.data(), payload.size());
    DeltaHeader header;
    ASSERT_TRUE(header.Read(reader));
    const std::vector<uint8_t> streams(payload.begin() + static_cast<long>(reader.Offset()), payload.end());
    auto withHeader = [&](const DeltaHeader& h) {
        std::vector<uint8_t> bytes;
        ByteWriter writer(bytes);
        h.Write(writer);
        writer.Bytes(streams.data(), streams.size());
        return DecodeDelta(oldData.data(), oldData.size(), bytes.data(), bytes.size(), newData.size(), &out);
    };
    ASSERT_EQ(withHeader(header), DeltaStatus::kOk);
    for (int s = 0; s < kStreamCount; ++s) {
        for (uint64_t raw : {uint64_t(1) << 60, header.raw[s] + 1, header.raw[s] ? header.raw[s] - 1 : 5}) {
            DeltaHeader bad = header;
            bad.raw[s] = raw;
            EXPECT_EQ(withHeader(bad), DeltaStatus::kCorrupt) << s << " raw " << raw;
        }
        DeltaHeader bad = header;
        bad.packed[s] += 1;
        EXPECT_EQ(withHeader(bad), DeltaStatus::kCorrupt) << s;
    }
    std::vector<uint8_t> badFilter = payload;
    badFilter[0] = 7;
    EXPECT_EQ(DecodeDelta(oldData.data(), oldData.size(), badFilter.data(), badFilter.size(), newData.size(), &out),
              DeltaStatus::kCorrupt);

    // Flipped bits anywhere: refused, or decoded to something else, but never a fault.
    int refused = 0;
    for (int i = 0; i < 2000; ++i) {
        std::vector<uint8_t> bad = payload;
        bad[random.Below(bad.size())] ^= static_cast<uint8_t>(1u << random.Below(8));
        const DeltaStatus status =
            DecodeDelta(oldData.data(), oldData.size(), bad.data(), bad.size(), newData.size(), &out);
        refused += status == DeltaStatus::kCorrupt;
        if (status == DeltaStatus::kOk) EXPECT_EQ(out.size(), newData.size());
    }
    EXPECT_GT(refused, 100);
}

}  // namespace
