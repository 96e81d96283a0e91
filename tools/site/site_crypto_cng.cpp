// The Windows build: everything from CNG.
#include "common/cng_crypto.h"
#include "tools/site/site_crypto.h"

bool ToolSha256(const void* data, size_t size, Sha256Bytes* digest) { return Sha256Of(data, size, digest); }
bool ToolGenerateKey(PrivateKeyBytes* privateKey, PublicKeyBytes* publicKey) {
    return GenerateP256(privateKey, publicKey);
}
bool ToolSign(const PrivateKeyBytes& privateKey, const PublicKeyBytes& publicKey, const Sha256Bytes& hash,
              SignatureBytes* signature) {
    return SignP256(privateKey, publicKey, hash, signature);
}
bool ToolVerify(const PublicKeyBytes& publicKey, const Sha256Bytes& hash, const SignatureBytes& signature) {
    return VerifyP256(publicKey, hash, signature);
}
