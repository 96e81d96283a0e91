#include "common/file_id.h"

#include <array>
#include <vector>

namespace {

std::array<uint32_t, 256> MakeCrcTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

const std::array<uint32_t, 256>& CrcTable() {
    static const std::array<uint32_t, 256> table = MakeCrcTable();
    return table;
}

}  // namespace

uint32_t UpdateSampleChecksum(uint32_t reg, const uint8_t* data, size_t size) {
    const auto& table = CrcTable();
    for (size_t i = 0; i < size; ++i) reg = (reg >> 8) ^ table[(reg ^ data[i]) & 0xFFu];
    return reg;
}

uint32_t ChecksumSample(SampleSource& source) {
    const uint32_t size = source.Size();
    // Zero-filled, so a file that shrinks while it is read gives a defined sample.
    std::vector<uint8_t> sample(kWholeFileSampleLimit, 0);
    if (size < kWholeFileSampleLimit) {
        source.ReadFromStart(sample.data(), size);
        return UpdateSampleChecksum(kSampleChecksumPreset, sample.data(), size);
    }
    source.ReadFromStart(sample.data(), kSampleHalf);
    source.ReadBeforeEnd(kTailSampleDistance, sample.data() + kSampleHalf, kSampleHalf);
    return UpdateSampleChecksum(kSampleChecksumPreset, sample.data(), sample.size());
}

namespace {

class BytesSampleSource : public SampleSource {
public:
    BytesSampleSource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint32_t Size() override { return static_cast<uint32_t>(size_); }
    size_t ReadFromStart(uint8_t* buffer, size_t size) override { return Copy(0, buffer, size); }
    size_t ReadBeforeEnd(int64_t distance, uint8_t* buffer, size_t size) override {
        return distance > static_cast<int64_t>(size_) ? 0 : Copy(size_ - static_cast<size_t>(distance), buffer, size);
    }

private:
    size_t Copy(size_t from, uint8_t* buffer, size_t size) {
        const size_t n = size < size_ - from ? size : size_ - from;
        for (size_t i = 0; i < n; ++i) buffer[i] = data_[from + i];
        return n;
    }
    const uint8_t* data_;
    size_t size_;
};

}  // namespace

uint32_t ChecksumBytes(const uint8_t* data, size_t size) {
    BytesSampleSource source(data, size);
    return ChecksumSample(source);
}

std::string FormatFileId(uint32_t checksum, unsigned minute) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string id;
    id.reserve(kFileIdLength);
    id += static_cast<char>('0' + (minute / 10) % 10);
    id += static_cast<char>('0' + minute % 10);
    for (int nibble = 0; nibble < 8; ++nibble) id += kDigits[(checksum >> (4 * nibble)) & 0xFu];
    return id;
}

bool FileIdsMatch(const std::string& a, const std::string& b) {
    return a.size() == kFileIdLength && b.size() == kFileIdLength && a.compare(2, 8, b, 2, 8) == 0;
}
