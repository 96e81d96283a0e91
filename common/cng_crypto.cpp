#include "common/cng_crypto.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstring>
#include <vector>

#include "common/win_handles.h"

namespace {

struct AlgorithmTraits {
    using Handle = BCRYPT_ALG_HANDLE;
    static Handle Invalid() { return nullptr; }
    static bool IsValid(Handle h) { return h != nullptr; }
    static void Close(Handle h) { BCryptCloseAlgorithmProvider(h, 0); }
};
using UniqueAlgorithm = UniqueResource<AlgorithmTraits>;

struct HashTraits {
    using Handle = BCRYPT_HASH_HANDLE;
    static Handle Invalid() { return nullptr; }
    static bool IsValid(Handle h) { return h != nullptr; }
    static void Close(Handle h) { BCryptDestroyHash(h); }
};
using UniqueHash = UniqueResource<HashTraits>;

struct KeyTraits {
    using Handle = BCRYPT_KEY_HANDLE;
    static Handle Invalid() { return nullptr; }
    static bool IsValid(Handle h) { return h != nullptr; }
    static void Close(Handle h) { BCryptDestroyKey(h); }
};
using UniqueKey = UniqueResource<KeyTraits>;

bool Succeeded(NTSTATUS status) { return status >= 0; }

bool OpenAlgorithm(const wchar_t* name, UniqueAlgorithm* algorithm) {
    return Succeeded(BCryptOpenAlgorithmProvider(algorithm->receive(), name, nullptr, 0));
}

// Hashes the blocks that read hands out until it gives none; false when read fails.
template <typename Reader>
bool HashBlocks(Reader read, Sha256Bytes* digest) {
    UniqueAlgorithm algorithm;
    UniqueHash hash;
    if (!OpenAlgorithm(BCRYPT_SHA256_ALGORITHM, &algorithm) ||
        !Succeeded(BCryptCreateHash(algorithm.get(), hash.receive(), nullptr, 0, nullptr, 0, 0))) {
        return false;
    }
    for (;;) {
        const uint8_t* block = nullptr;
        size_t size = 0;
        if (!read(&block, &size)) return false;
        if (size == 0) break;
        if (!Succeeded(BCryptHashData(hash.get(), const_cast<PUCHAR>(block), static_cast<ULONG>(size), 0))) return false;
    }
    return Succeeded(BCryptFinishHash(hash.get(), digest->data(), static_cast<ULONG>(digest->size()), 0));
}

// The key blob CNG imports: its header, X, Y and, for a private key, d.
std::vector<UCHAR> KeyBlob(ULONG magic, const PublicKeyBytes& publicKey, const PrivateKeyBytes* privateKey) {
    std::vector<UCHAR> blob(sizeof(BCRYPT_ECCKEY_BLOB) + publicKey.size() + (privateKey ? privateKey->size() : 0));
    BCRYPT_ECCKEY_BLOB header{magic, 32};
    memcpy(blob.data(), &header, sizeof header);
    memcpy(blob.data() + sizeof header, publicKey.data(), publicKey.size());
    if (privateKey) memcpy(blob.data() + sizeof header + publicKey.size(), privateKey->data(), privateKey->size());
    return blob;
}

bool ImportKey(BCRYPT_ALG_HANDLE algorithm, const wchar_t* type, std::vector<UCHAR>& blob, UniqueKey* key) {
    return Succeeded(BCryptImportKeyPair(algorithm, nullptr, type, key->receive(), blob.data(),
                                         static_cast<ULONG>(blob.size()), 0));
}

}  // namespace

bool Sha256Of(const void* data, size_t size, Sha256Bytes* digest) {
    const uint8_t* next = static_cast<const uint8_t*>(data);
    size_t left = size;
    return HashBlocks(
        [&](const uint8_t** block, size_t* blockSize) {
            // CNG takes at most a ULONG at once.
            *blockSize = left < 0x40000000u ? left : 0x40000000u;
            *block = next;
            next += *blockSize;
            left -= *blockSize;
            return true;
        },
        digest);
}

bool Sha256OfFile(const std::string& path, Sha256Bytes* digest) {
    UniqueHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return false;
    std::vector<uint8_t> buffer(1 << 16);
    return HashBlocks(
        [&](const uint8_t** block, size_t* size) {
            DWORD read = 0;
            if (!ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) return false;
            *block = buffer.data();
            *size = read;
            return true;
        },
        digest);
}

bool VerifyP256(const PublicKeyBytes& key, const Sha256Bytes& hash, const SignatureBytes& signature) {
    UniqueAlgorithm algorithm;
    UniqueKey imported;
    std::vector<UCHAR> blob = KeyBlob(BCRYPT_ECDSA_PUBLIC_P256_MAGIC, key, nullptr);
    if (!OpenAlgorithm(BCRYPT_ECDSA_P256_ALGORITHM, &algorithm) ||
        !ImportKey(algorithm.get(), BCRYPT_ECCPUBLIC_BLOB, blob, &imported)) {
        return false;
    }
    return Succeeded(BCryptVerifySignature(imported.get(), nullptr, const_cast<PUCHAR>(hash.data()),
                                           static_cast<ULONG>(hash.size()), const_cast<PUCHAR>(signature.data()),
                                           static_cast<ULONG>(signature.size()), 0));
}

bool GenerateP256(PrivateKeyBytes* privateKey, PublicKeyBytes* publicKey) {
    UniqueAlgorithm algorithm;
    UniqueKey key;
    if (!OpenAlgorithm(BCRYPT_ECDSA_P256_ALGORITHM, &algorithm) ||
        !Succeeded(BCryptGenerateKeyPair(algorithm.get(), key.receive(), 256, 0)) ||
        !Succeeded(BCryptFinalizeKeyPair(key.get(), 0))) {
        return false;
    }
    std::vector<UCHAR> blob(sizeof(BCRYPT_ECCKEY_BLOB) + publicKey->size() + privateKey->size());
    ULONG written = 0;
    if (!Succeeded(BCryptExportKey(key.get(), nullptr, BCRYPT_ECCPRIVATE_BLOB, blob.data(), static_cast<ULONG>(blob.size()),
                                   &written, 0)) ||
        written != blob.size()) {
        SecureZeroMemory(blob.data(), blob.size());
        return false;
    }
    memcpy(publicKey->data(), blob.data() + sizeof(BCRYPT_ECCKEY_BLOB), publicKey->size());
    memcpy(privateKey->data(), blob.data() + sizeof(BCRYPT_ECCKEY_BLOB) + publicKey->size(), privateKey->size());
    SecureZeroMemory(blob.data(), blob.size());
    return true;
}

bool SignP256(const PrivateKeyBytes& privateKey, const PublicKeyBytes& publicKey, const Sha256Bytes& hash,
              SignatureBytes* signature) {
    UniqueAlgorithm algorithm;
    UniqueKey key;
    std::vector<UCHAR> blob = KeyBlob(BCRYPT_ECDSA_PRIVATE_P256_MAGIC, publicKey, &privateKey);
    const bool imported = OpenAlgorithm(BCRYPT_ECDSA_P256_ALGORITHM, &algorithm) &&
                          ImportKey(algorithm.get(), BCRYPT_ECCPRIVATE_BLOB, blob, &key);
    SecureZeroMemory(blob.data(), blob.size());
    if (!imported) return false;
    ULONG written = 0;
    return Succeeded(BCryptSignHash(key.get(), nullptr, const_cast<PUCHAR>(hash.data()), static_cast<ULONG>(hash.size()),
                                    signature->data(), static_cast<ULONG>(signature->size()), &written, 0)) &&
           written == signature->size();
}
