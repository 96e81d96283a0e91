// SHA-256 from OpenSSL's libcrypto (native builds).
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstdlib>

#include "patchlib/sha256.h"

namespace {

EVP_MD_CTX* Context(void* state) { return static_cast<EVP_MD_CTX*>(state); }

// A hash the library cannot compute would make every check say "damaged"; that cannot be
// told apart from a real fault, so it ends the program (it only happens out of memory).
void Require(int ok) {
    if (ok != 1) abort();
}

// Only a digest is needed: no configuration file, no table of every cipher (which
// otherwise cost a small file's tool run more than its hashing).
bool Initialised() {
    static const bool done =
        OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG | OPENSSL_INIT_NO_ADD_ALL_CIPHERS | OPENSSL_INIT_NO_ADD_ALL_DIGESTS,
                            nullptr) == 1;
    return done;
}

}  // namespace

Sha256::Sha256() : state_((Require(Initialised()), EVP_MD_CTX_new())) {
    if (!state_) abort();
    Reset();
}

Sha256::~Sha256() { EVP_MD_CTX_free(Context(state_)); }

void Sha256::Reset() { Require(EVP_DigestInit_ex(Context(state_), EVP_sha256(), nullptr)); }

void Sha256::Update(const void* data, size_t size) {
    if (size) Require(EVP_DigestUpdate(Context(state_), data, size));
}

Sha256Digest Sha256::Finish() {
    Sha256Digest digest;
    unsigned int length = 0;
    Require(EVP_DigestFinal_ex(Context(state_), digest.data(), &length));
    if (length != digest.size()) abort();
    Reset();
    return digest;
}
