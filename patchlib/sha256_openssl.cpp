// SHA-256 from OpenSSL's libcrypto (native builds), through its direct digest functions:
// the EVP interface first loads the library's providers, which cost a small file's tool
// run more than its hashing.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <cstdlib>
#include <new>

#include "patchlib/sha256.h"

namespace {

SHA256_CTX* Context(void* state) { return static_cast<SHA256_CTX*>(state); }

// A hash the library cannot compute would make every check say "damaged"; that cannot be
// told apart from a real fault, so it ends the program.
void Require(int ok) {
    if (ok != 1) abort();
}

}  // namespace

Sha256::Sha256() : state_(new (std::nothrow) SHA256_CTX) {
    if (!state_) abort();
    Reset();
}

Sha256::~Sha256() { delete Context(state_); }

void Sha256::Reset() { Require(SHA256_Init(Context(state_))); }

void Sha256::Update(const void* data, size_t size) {
    if (size) Require(SHA256_Update(Context(state_), data, size));
}

Sha256Digest Sha256::Finish() {
    Sha256Digest digest;
    Require(SHA256_Final(digest.data(), Context(state_)));
    Reset();
    return digest;
}
