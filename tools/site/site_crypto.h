// Keys, signatures and hashes of the publishers' tool: OpenSSL's libcrypto in the native
// build, the system's CNG in the Windows build. Both read and write the same key texts
// (common/image_seal.h), so a key made on one verifies on the other.
#pragma once
#include <cstddef>
#include <string>

#include "common/image_seal.h"

bool ToolSha256(const void* data, size_t size, Sha256Bytes* digest);
bool ToolGenerateKey(PrivateKeyBytes* privateKey, PublicKeyBytes* publicKey);
bool ToolSign(const PrivateKeyBytes& privateKey, const PublicKeyBytes& publicKey, const Sha256Bytes& hash,
              SignatureBytes* signature);
bool ToolVerify(const PublicKeyBytes& publicKey, const Sha256Bytes& hash, const SignatureBytes& signature);

// A signing key as keygen writes it: the private line, then the public line.
struct SigningKey {
    PrivateKeyBytes privateKey{};
    PublicKeyBytes publicKey{};
};

// keygen: a new key into path (readable by its owner only, natively) and its public line
// into path + ".pub". Refuses to overwrite either file. False with *error on failure.
bool WriteNewKey(const std::string& path, std::string* publicLine, std::string* error);

// Reads a key file that keygen wrote; false with *error when it is not one, or when its
// two halves do not belong together.
bool ReadSigningKey(const std::string& path, SigningKey* key, std::string* error);
