// SHA-256 and ECDSA P-256 from the system's CNG (bcrypt.dll): the hashes and signatures
// that bind a signed update image and every file it names. Nothing here is computed by
// our own code.
#pragma once
#include <cstddef>
#include <string>

#include "common/image_seal.h"

// The SHA-256 of size bytes; false when CNG gives none.
bool Sha256Of(const void* data, size_t size, Sha256Bytes* digest);

// The SHA-256 of a file's bytes, read in blocks; false when it cannot be read whole.
bool Sha256OfFile(const std::string& path, Sha256Bytes* digest);

// Whether signature is key's ECDSA P-256 signature of hash.
bool VerifyP256(const PublicKeyBytes& key, const Sha256Bytes& hash, const SignatureBytes& signature);

// A new key pair; and a signature of hash with a private key (the publishers' tool on
// Windows).
bool GenerateP256(PrivateKeyBytes* privateKey, PublicKeyBytes* publicKey);
bool SignP256(const PrivateKeyBytes& privateKey, const PublicKeyBytes& publicKey, const Sha256Bytes& hash,
              SignatureBytes* signature);
