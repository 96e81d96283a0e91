#include "patchlib/zlib_stream.h"

#include <algorithm>
#include <climits>

namespace {
// zlib counts in uInt, which may be 32 bits: feed it in slices no larger than this.
constexpr size_t kSlice = 1u << 30;
}  // namespace

uint32_t Crc32(const uint8_t* data, size_t size) {
    uLong crc = crc32(0L, Z_NULL, 0);
    while (size) {
        const uInt piece = static_cast<uInt>(std::min(size, kSlice));
        crc = crc32(crc, data, piece);
        data += piece;
        size -= piece;
    }
    return static_cast<uint32_t>(crc);
}

bool DeflateBytes(const uint8_t* data, size_t size, int level, std::vector<uint8_t>* out) {
    out->clear();
    z_stream stream{};
    if (deflateInit2(&stream, level, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK) return false;
    out->resize(std::max<size_t>(64, deflateBound(&stream, static_cast<uLong>(std::min(size, kSlice)))));
    size_t consumed = 0;
    int status = Z_OK;
    while (status != Z_STREAM_END) {
        const size_t inSlice = std::min(size - consumed, kSlice);
        stream.next_in = const_cast<Bytef*>(data + consumed);
        stream.avail_in = static_cast<uInt>(inSlice);
        const bool last = consumed + inSlice == size;
        const size_t produced = static_cast<size_t>(stream.total_out);
        if (produced + 64 > out->size()) out->resize(out->size() * 2);
        const size_t outFree = std::min(out->size() - produced, kSlice);
        stream.next_out = out->data() + produced;
        stream.avail_out = static_cast<uInt>(outFree);
        status = deflate(&stream, last ? Z_FINISH : Z_NO_FLUSH);
        if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
            deflateEnd(&stream);
            return false;
        }
        consumed += inSlice - stream.avail_in;
    }
    out->resize(stream.total_out);
    deflateEnd(&stream);
    return true;
}

InflateReader::~InflateReader() {
    if (open_) inflateEnd(&stream_);
}

bool InflateReader::Open(const uint8_t* packed, size_t packedSize, uint64_t rawSize) {
    if (open_ || inflateInit2(&stream_, -15) != Z_OK) return false;
    open_ = true;
    stream_.next_in = const_cast<Bytef*>(packed);
    stream_.avail_in = 0;
    packedLeft_ = packedSize;
    rawSize_ = rawSize;
    return true;
}

void InflateReader::Feed() {
    if (stream_.avail_in == 0 && packedLeft_) {
        const size_t slice = std::min(packedLeft_, kSlice);
        stream_.avail_in = static_cast<uInt>(slice);
        packedLeft_ -= slice;
    }
}

bool InflateReader::Read(uint8_t* out, size_t size) {
    if (!open_ || failed_ || size > rawSize_ - produced_) return failed_ = true, false;
    size_t done = 0;
    while (done < size) {
        if (ended_) return failed_ = true, false;
        Feed();
        const size_t slice = std::min(size - done, kSlice);
        stream_.next_out = out + done;
        stream_.avail_out = static_cast<uInt>(slice);
        const int status = inflate(&stream_, Z_NO_FLUSH);
        const size_t got = slice - stream_.avail_out;
        done += got;
        if (status == Z_STREAM_END) {
            ended_ = true;
        } else if (status != Z_OK || (got == 0 && stream_.avail_in == 0 && packedLeft_ == 0)) {
            // Corrupt data, or the packed bytes ran out before the stream ended.
            return failed_ = true, false;
        }
    }
    produced_ += size;
    return true;
}

bool InflateReader::Finish() {
    if (!open_ || failed_ || produced_ != rawSize_) return false;
    // The stream must end right here, without producing another byte.
    while (!ended_) {
        uint8_t extra;
        Feed();
        stream_.next_out = &extra;
        stream_.avail_out = 1;
        const int status = inflate(&stream_, Z_NO_FLUSH);
        if (stream_.avail_out != 1) return failed_ = true, false;
        if (status == Z_STREAM_END) {
            ended_ = true;
        } else if (status != Z_OK || (stream_.avail_in == 0 && packedLeft_ == 0)) {
            return failed_ = true, false;
        }
    }
    return stream_.avail_in == 0 && packedLeft_ == 0;
}

bool InflateBytes(const uint8_t* packed, size_t packedSize, uint64_t rawSize, std::vector<uint8_t>* out) {
    if (!PlausibleRawLength(rawSize, packedSize) || rawSize > SIZE_MAX) return false;
    out->resize(static_cast<size_t>(rawSize));
    InflateReader reader;
    return reader.Open(packed, packedSize, rawSize) && reader.Read(out->data(), out->size()) && reader.Finish();
}
