// File identity over bytes: the checksum, the sample layout and the Id comparison.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <vector>

#include "common/file_id.h"

namespace {

class MemorySource : public SampleSource {
public:
    explicit MemorySource(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    uint32_t Size() override { return static_cast<uint32_t>(bytes_.size()); }
    size_t ReadFromStart(uint8_t* buffer, size_t size) override { return CopyFrom(0, buffer, size); }
    size_t ReadBeforeEnd(int64_t distance, uint8_t* buffer, size_t size) override {
        return CopyFrom(static_cast<int64_t>(bytes_.size()) - distance, buffer, size);
    }

private:
    size_t CopyFrom(int64_t offset, uint8_t* buffer, size_t size) {
        if (offset < 0 || static_cast<size_t>(offset) > bytes_.size()) return 0;
        const size_t available = std::min(size, bytes_.size() - static_cast<size_t>(offset));
        if (available) memcpy(buffer, bytes_.data() + offset, available);
        return available;
    }
    std::vector<uint8_t> bytes_;
};

// The sample checksum is the complement of the standard CRC-32 (zlib's) of the sample.
uint32_t Oracle(const std::vector<uint8_t>& sample) {
    return ~static_cast<uint32_t>(crc32(0, sample.data(), static_cast<uInt>(sample.size())));
}

std::vector<uint8_t> Pattern(size_t size) {
    std::vector<uint8_t> bytes(size);
    uint32_t x = 12345;
    for (auto& b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return bytes;
}

}  // namespace

TEST(FileId, AbcAtMinuteSevenIsTheWorkedExample) {
    MemorySource source({'a', 'b', 'c'});
    const uint32_t checksum = ChecksumSample(source);
    EXPECT_EQ(0xCADBBE3Du, checksum);
    EXPECT_EQ("07D3EBBDAC", FormatFileId(checksum, 7));
    EXPECT_EQ("59D3EBBDAC", FormatFileId(checksum, 59));
    EXPECT_EQ("00D3EBBDAC", FormatFileId(checksum, 0));
}

TEST(FileId, EmptyFileKeepsThePreset) {
    MemorySource source({});
    EXPECT_EQ(0xFFFFFFFFu, ChecksumSample(source));
    EXPECT_EQ("12FFFFFFFF", FormatFileId(ChecksumSample(source), 12));
}

TEST(FileId, FilesBelow64KiBAreSampledWhole) {
    const auto bytes = Pattern(65535);
    MemorySource source(bytes);
    EXPECT_EQ(Oracle(bytes), ChecksumSample(source));

    // Every byte counts, the last one included.
    auto changed = bytes;
    changed[bytes.size() - 1] ^= 0x01;
    MemorySource changedSource(changed);
    EXPECT_NE(ChecksumSample(source), ChecksumSample(changedSource));
}

TEST(FileId, LargeFilesAreSampledHeadAndTailWithoutTheLastByte) {
    for (size_t size : {size_t{65536}, size_t{65537}, size_t{200000}}) {
        const auto bytes = Pattern(size);
        // Head: the first 32,768 bytes; tail: 32,768 bytes from 32,769 before the end.
        std::vector<uint8_t> sample(bytes.begin(), bytes.begin() + 32768);
        sample.insert(sample.end(), bytes.end() - 32769, bytes.end() - 1);
        ASSERT_EQ(65536u, sample.size());
        MemorySource source(bytes);
        EXPECT_EQ(Oracle(sample), ChecksumSample(source)) << "size " << size;

        auto lastByteChanged = bytes;
        lastByteChanged[size - 1] ^= 0xFF;
        MemorySource changedSource(lastByteChanged);
        EXPECT_EQ(ChecksumSample(source), ChecksumSample(changedSource)) << "size " << size;

        auto headChanged = bytes;
        headChanged[100] ^= 0xFF;
        MemorySource headSource(headChanged);
        EXPECT_NE(ChecksumSample(source), ChecksumSample(headSource)) << "size " << size;

        auto tailChanged = bytes;
        tailChanged[size - 2] ^= 0xFF;
        MemorySource tailSource(tailChanged);
        EXPECT_NE(ChecksumSample(source), ChecksumSample(tailSource)) << "size " << size;
    }
    // Between head and tail of a large file nothing is sampled.
    auto bytes = Pattern(200000);
    MemorySource source(bytes);
    bytes[100000] ^= 0xFF;
    MemorySource changedSource(bytes);
    EXPECT_EQ(ChecksumSample(source), ChecksumSample(changedSource));
    {
    }
}

TEST(FileId, ExactlySixtyFourKiBTakesTheMiddleByteTwice) {
    auto bytes = Pattern(65536);
    std::vector<uint8_t> sample(bytes.begin(), bytes.begin() + 32768);
    sample.insert(sample.end(), bytes.begin() + 32767, bytes.begin() + 65535);
    MemorySource source(bytes);
    EXPECT_EQ(Oracle(sample), ChecksumSample(source));
}

TEST(FileId, ShortReadsGiveADefinedSample) {
    // A source that claims more bytes than it delivers: the missing part counts as zeros.
    class Shrinking : public MemorySource {
    public:
        Shrinking() : MemorySource({'x', 'y'}) {}
        uint32_t Size() override { return 10; }
    } source;
    std::vector<uint8_t> sample = {'x', 'y', 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(Oracle(sample), ChecksumSample(source));
}

TEST(FileId, MatchComparesOnlyTheChecksumDigits) {
    EXPECT_TRUE(FileIdsMatch("07D3EBBDAC", "07D3EBBDAC"));
    EXPECT_TRUE(FileIdsMatch("07D3EBBDAC", "42D3EBBDAC"));  // minute digits ignored
    EXPECT_FALSE(FileIdsMatch("07D3EBBDAC", "07d3ebbdac"));  // lower case never matches
    EXPECT_FALSE(FileIdsMatch("07D3EBBDAC", "07D3EBBDAD"));
    EXPECT_FALSE(FileIdsMatch("07D3EBBDAC", ""));
    EXPECT_FALSE(FileIdsMatch("", ""));
    EXPECT_FALSE(FileIdsMatch("D3EBBDAC", "D3EBBDAC"));        // too short on both sides
    EXPECT_FALSE(FileIdsMatch("07D3EBBDAC0", "07D3EBBDAC0"));  // too long
}
