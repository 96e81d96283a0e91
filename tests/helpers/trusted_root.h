// A test root certificate made trusted for the current user of the Wine prefix while an
// object lives, for the tests and benchmarks of secure sites. Nothing on the machine changes.
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

inline constexpr char kRootKey[] = "Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\";

// The test root in the current user's trusted roots while it lives; its registry entry
// removed afterwards (a deletion through the store does not reach the registry in Wine).
class TrustedTestRoot {
public:
    explicit TrustedTestRoot(const std::string& pemPath) {
        std::ifstream in(pemPath, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        const std::string pem = text.str();
        DWORD size = 0;
        if (!CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)) return;
        std::vector<BYTE> der(size);
        CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr);
        HCERTSTORE store = CertOpenSystemStoreA(0, "Root");
        PCCERT_CONTEXT added = nullptr;
        if (store && CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                                      CERT_STORE_ADD_REPLACE_EXISTING, &added)) {
            BYTE hash[20];
            DWORD hashSize = sizeof hash;
            if (CertGetCertificateContextProperty(added, CERT_SHA1_HASH_PROP_ID, hash, &hashSize)) {
                char hex[41] = "";
                for (DWORD i = 0; i < hashSize; ++i) snprintf(hex + 2 * i, 3, "%02X", hash[i]);
                thumbprint_ = hex;
            }
            CertFreeCertificateContext(added);
        }
        if (store) CertCloseStore(store, 0);
    }
    ~TrustedTestRoot() {
        if (!thumbprint_.empty()) RegDeleteTreeA(HKEY_CURRENT_USER, (kRootKey + thumbprint_).c_str());
    }
    bool trusted() const { return !thumbprint_.empty(); }

private:
    std::string thumbprint_;
};

