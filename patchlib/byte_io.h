// Little-endian numbers and variable-length integers in byte buffers. ByteReader
// never reads past its end: every read reports failure instead.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

// Little-endian numbers at a place the caller has checked.
inline uint16_t LoadU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t LoadU32(const uint8_t* p) {
    return static_cast<uint32_t>(LoadU16(p)) | static_cast<uint32_t>(LoadU16(p + 2)) << 16;
}
inline uint64_t LoadU64(const uint8_t* p) {
    return static_cast<uint64_t>(LoadU32(p)) | static_cast<uint64_t>(LoadU32(p + 4)) << 32;
}

// Whether length bytes from offset lie inside a buffer of size bytes (no overflow).
inline bool FitsIn(size_t size, uint64_t offset, uint64_t length) { return offset <= size && length <= size - offset; }

class ByteWriter {
public:
    explicit ByteWriter(std::vector<uint8_t>& out) : out_(out) {}

    void U8(uint8_t v) { out_.push_back(v); }
    void U16(uint16_t v) { Fixed(v, 2); }
    void U32(uint32_t v) { Fixed(v, 4); }
    void U64(uint64_t v) { Fixed(v, 8); }
    void Bytes(const void* data, size_t size) {
        const uint8_t* p = static_cast<const uint8_t*>(data);
        out_.insert(out_.end(), p, p + size);
    }
    // LEB128: seven bits a byte, low bits first, high bit set on all but the last.
    void UVar(uint64_t v) {
        while (v >= 0x80) {
            out_.push_back(static_cast<uint8_t>(v | 0x80));
            v >>= 7;
        }
        out_.push_back(static_cast<uint8_t>(v));
    }
    // Zigzag: 0, -1, 1, -2, ... become 0, 1, 2, 3, ...
    void SVar(int64_t v) { UVar((static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63)); }

private:
    void Fixed(uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    std::vector<uint8_t>& out_;
};

class ByteReader {
public:
    ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    size_t Offset() const { return offset_; }
    size_t Remaining() const { return size_ - offset_; }
    bool AtEnd() const { return offset_ == size_; }
    const uint8_t* Current() const { return data_ + offset_; }

    bool U8(uint8_t* v) { return Fixed(v, 1); }
    bool U16(uint16_t* v) { return Fixed(v, 2); }
    bool U32(uint32_t* v) { return Fixed(v, 4); }
    bool U64(uint64_t* v) { return Fixed(v, 8); }
    bool Skip(size_t size) {
        if (size > Remaining()) return false;
        offset_ += size;
        return true;
    }
    // Hands out a pointer to the next size bytes and steps over them.
    bool Span(size_t size, const uint8_t** where) {
        if (size > Remaining()) return false;
        *where = data_ + offset_;
        offset_ += size;
        return true;
    }
    bool UVar(uint64_t* v) {
        uint64_t result = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (AtEnd()) return false;
            const uint8_t byte = data_[offset_++];
            // The tenth byte may carry only the top bit.
            if (shift == 63 && byte > 1) return false;
            result |= static_cast<uint64_t>(byte & 0x7F) << shift;
            if (!(byte & 0x80)) {
                *v = result;
                return true;
            }
        }
        return false;
    }
    bool SVar(int64_t* v) {
        uint64_t u;
        if (!UVar(&u)) return false;
        *v = static_cast<int64_t>((u >> 1) ^ (0 - (u & 1)));
        return true;
    }

private:
    template <typename T>
    bool Fixed(T* v, int bytes) {
        if (static_cast<size_t>(bytes) > Remaining()) return false;
        uint64_t result = 0;
        for (int i = 0; i < bytes; ++i) result |= static_cast<uint64_t>(data_[offset_ + i]) << (8 * i);
        offset_ += static_cast<size_t>(bytes);
        *v = static_cast<T>(result);
        return true;
    }

    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
};
