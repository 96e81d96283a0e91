// The native build: everything from OpenSSL's libcrypto. Keys travel as raw P-256 numbers
// (the key texts), signatures as r and s of 32 bytes each, as CNG gives them.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <memory>
#include <vector>

#include "tools/site/site_crypto.h"

namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using PKey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using PKeyContext = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using Number = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_clear_free>>;
using ParamBuilder = std::unique_ptr<OSSL_PARAM_BLD, Deleter<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>>;
using Params = std::unique_ptr<OSSL_PARAM, Deleter<OSSL_PARAM, OSSL_PARAM_free>>;
using EcdsaSignature = std::unique_ptr<ECDSA_SIG, Deleter<ECDSA_SIG, ECDSA_SIG_free>>;

// The key from its numbers: the public point, and d when privateKey is given.
PKey KeyOf(const PublicKeyBytes& publicKey, const PrivateKeyBytes* privateKey) {
    std::vector<unsigned char> point(1 + publicKey.size());
    point[0] = 0x04;  // uncompressed: X then Y
    std::copy(publicKey.begin(), publicKey.end(), point.begin() + 1);
    ParamBuilder builder(OSSL_PARAM_BLD_new());
    Number d(privateKey ? BN_bin2bn(privateKey->data(), static_cast<int>(privateKey->size()), nullptr) : nullptr);
    if (!builder || (privateKey && !d) ||
        !OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0) ||
        !OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size()) ||
        (d && !OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_PRIV_KEY, d.get()))) {
        return nullptr;
    }
    Params params(OSSL_PARAM_BLD_to_param(builder.get()));
    PKeyContext context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY* key = nullptr;
    if (!params || !context || EVP_PKEY_fromdata_init(context.get()) <= 0 ||
        EVP_PKEY_fromdata(context.get(), &key, privateKey ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, params.get()) <= 0) {
        return nullptr;
    }
    PKey owned(key);
    // A point that is not on the curve is no key.
    PKeyContext check(EVP_PKEY_CTX_new(owned.get(), nullptr));
    if (!check || EVP_PKEY_public_check(check.get()) != 1) return nullptr;
    return owned;
}

bool NumberBytes(const EVP_PKEY* key, const char* name, uint8_t* out, int size) {
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &raw) != 1) return false;
    Number number(raw);
    return BN_bn2binpad(number.get(), out, size) == size;
}

}  // namespace

bool ToolSha256(const void* data, size_t size, Sha256Bytes* digest) {
    unsigned int length = 0;
    return EVP_Digest(data, size, digest->data(), &length, EVP_sha256(), nullptr) == 1 && length == digest->size();
}

bool ToolGenerateKey(PrivateKeyBytes* privateKey, PublicKeyBytes* publicKey) {
    PKey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    return key && NumberBytes(key.get(), OSSL_PKEY_PARAM_PRIV_KEY, privateKey->data(), 32) &&
           NumberBytes(key.get(), OSSL_PKEY_PARAM_EC_PUB_X, publicKey->data(), 32) &&
           NumberBytes(key.get(), OSSL_PKEY_PARAM_EC_PUB_Y, publicKey->data() + 32, 32);
}

bool ToolSign(const PrivateKeyBytes& privateKey, const PublicKeyBytes& publicKey, const Sha256Bytes& hash,
              SignatureBytes* signature) {
    PKey key = KeyOf(publicKey, &privateKey);
    PKeyContext context(key ? EVP_PKEY_CTX_new(key.get(), nullptr) : nullptr);
    size_t length = 0;
    if (!context || EVP_PKEY_sign_init(context.get()) <= 0 ||
        EVP_PKEY_sign(context.get(), nullptr, &length, hash.data(), hash.size()) <= 0) {
        return false;
    }
    std::vector<unsigned char> der(length);
    if (EVP_PKEY_sign(context.get(), der.data(), &length, hash.data(), hash.size()) <= 0) return false;
    const unsigned char* next = der.data();
    EcdsaSignature parsed(d2i_ECDSA_SIG(nullptr, &next, static_cast<long>(length)));
    if (!parsed) return false;
    const BIGNUM* r = nullptr;
    const BIGNUM* s = nullptr;
    ECDSA_SIG_get0(parsed.get(), &r, &s);
    return BN_bn2binpad(r, signature->data(), 32) == 32 && BN_bn2binpad(s, signature->data() + 32, 32) == 32;
}

bool ToolVerify(const PublicKeyBytes& publicKey, const Sha256Bytes& hash, const SignatureBytes& signature) {
    PKey key = KeyOf(publicKey, nullptr);
    EcdsaSignature parsed(ECDSA_SIG_new());
    if (!key || !parsed) return false;
    BIGNUM* r = BN_bin2bn(signature.data(), 32, nullptr);
    BIGNUM* s = BN_bin2bn(signature.data() + 32, 32, nullptr);
    if (!r || !s || ECDSA_SIG_set0(parsed.get(), r, s) != 1) {  // set0 takes r and s only when it succeeds
        BN_free(r);
        BN_free(s);
        return false;
    }
    unsigned char* der = nullptr;
    const int length = i2d_ECDSA_SIG(parsed.get(), &der);
    if (length <= 0) return false;
    std::unique_ptr<unsigned char, void (*)(unsigned char*)> derOwner(der, [](unsigned char* p) { OPENSSL_free(p); });
    PKeyContext context(EVP_PKEY_CTX_new(key.get(), nullptr));
    return context && EVP_PKEY_verify_init(context.get()) > 0 &&
           EVP_PKEY_verify(context.get(), der, static_cast<size_t>(length), hash.data(), hash.size()) == 1;
}
