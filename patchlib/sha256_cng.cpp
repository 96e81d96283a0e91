// SHA-256 from the system's CNG (Windows builds): patchw32.dll still imports only
// system libraries.
#include <windows.h>
#include <bcrypt.h>

#include <cstdlib>

#include "patchlib/sha256.h"

namespace {

// Opened once for the process; kept until it ends.
BCRYPT_ALG_HANDLE Algorithm() {
    static const BCRYPT_ALG_HANDLE algorithm = [] {
        BCRYPT_ALG_HANDLE opened = nullptr;
        if (BCryptOpenAlgorithmProvider(&opened, BCRYPT_SHA256_ALGORITHM, nullptr, 0) < 0) abort();
        return opened;
    }();
    return algorithm;
}

// A hash the system cannot compute would make every check say "damaged"; that cannot be
// told apart from a real fault, so it ends the program (it only happens out of memory).
void Require(NTSTATUS status) {
    if (status < 0) abort();
}

BCRYPT_HASH_HANDLE Handle(void* state) { return static_cast<BCRYPT_HASH_HANDLE>(state); }

}  // namespace

Sha256::Sha256() { Reset(); }

Sha256::~Sha256() {
    if (state_) BCryptDestroyHash(Handle(state_));
}

void Sha256::Reset() {
    if (state_) BCryptDestroyHash(Handle(state_));
    BCRYPT_HASH_HANDLE hash = nullptr;
    Require(BCryptCreateHash(Algorithm(), &hash, nullptr, 0, nullptr, 0, 0));
    state_ = hash;
}

void Sha256::Update(const void* data, size_t size) {
    const UCHAR* next = static_cast<const UCHAR*>(data);
    // CNG takes at most a ULONG at once.
    while (size) {
        const ULONG piece = size < 0x40000000u ? static_cast<ULONG>(size) : 0x40000000u;
        Require(BCryptHashData(Handle(state_), const_cast<PUCHAR>(next), piece, 0));
        next += piece;
        size -= piece;
    }
}

Sha256Digest Sha256::Finish() {
    Sha256Digest digest;
    Require(BCryptFinishHash(Handle(state_), digest.data(), static_cast<ULONG>(digest.size()), 0));
    Reset();
    return digest;
}
