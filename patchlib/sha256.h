// SHA-256: the strong checksum that a patch stores for every file it expects and every
// file it produces. Computed by the platform, never by our own code: CNG (bcrypt.dll) in
// the Windows builds, OpenSSL's libcrypto natively.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

using Sha256Digest = std::array<uint8_t, 32>;

class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void Reset();
    void Update(const void* data, size_t size);
    Sha256Digest Finish();

    static Sha256Digest Of(const void* data, size_t size) {
        Sha256 hash;
        hash.Update(data, size);
        return hash.Finish();
    }

private:
    // The platform's hash state (an EVP_MD_CTX, or a CNG hash handle).
    void* state_ = nullptr;
};
