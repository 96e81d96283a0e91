#include "engine/image_trust.h"

#include <windows.h>

#include "common/cng_crypto.h"
#include "common/message_texts.h"
#include "common/resource_ids.h"
#include "common/win_handles.h"

namespace {

int64_t UnixNow() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return static_cast<int64_t>(ticks / 10000000u) - 11644473600LL;
}

// A refusal: the box's message text, and the English reason for the report and the log.
Failure Refusal(const UpdateImage& image, std::string boxText, const std::string& reason) {
    Failure failure = MakeFailure(std::move(boxText));
    failure.reportText =
        FormatText("Update image %s from site %s was refused: %s.", image.imagePath.c_str(), image.site.c_str(),
                   reason.c_str());
    failure.logText = "\r\n" + failure.reportText;
    return failure;
}

Failure NotSigned(const UpdateImage& image, const std::string& reason) {
    return Refusal(image, FormatMessageText(IDS_IMAGE_NOT_SIGNED, image.imagePath.c_str(), image.site.c_str()), reason);
}

// The highest VERSION accepted under the value's name; false when none was.
bool AcceptedVersion(const std::string& valueName, int32_t* version) {
    UniqueRegKey key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kAcceptedVersionKey, 0, KEY_QUERY_VALUE, key.receive()) != ERROR_SUCCESS) {
        return false;
    }
    DWORD type = 0, value = 0, size = sizeof value;
    if (RegQueryValueExA(key.get(), valueName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof value) {
        return false;
    }
    *version = static_cast<int32_t>(value);
    return true;
}

void RememberVersion(const std::string& valueName, int32_t version) {
    UniqueRegKey key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kAcceptedVersionKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.receive(),
                        nullptr) != ERROR_SUCCESS) {
        return;
    }
    const DWORD value = static_cast<DWORD>(version);
    RegSetValueExA(key.get(), valueName.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

}  // namespace

bool TrustImage(const UpdateImage& image, const ImageTrust& trust, Failure* failure) {
    if (trust.publisherKey.empty()) return true;
    PublicKeyBytes key;
    if (!ParsePublicKeyText(trust.publisherKey, &key)) {
        *failure = NotSigned(image, "the publisher key set is not a key");
        return false;
    }
    const ImageSeal& seal = image.seal;
    if (!seal.present) {
        *failure = NotSigned(image, "it is not signed");
        return false;
    }
    if (!seal.problem.empty()) {
        *failure = NotSigned(image, seal.problem);
        return false;
    }
    if (seal.signer != key) {
        *failure = NotSigned(image, "it is signed with another key (" + HexText(seal.signer.data(), 8) + "...)");
        return false;
    }
    if (!VerifyP256(key, seal.signedHash, seal.signature)) {
        *failure = NotSigned(image, "its signature does not match its text");
        return false;
    }
    if (seal.expires && UnixNow() > seal.expiresAt) {
        const std::string date = SealTimeText(seal.expiresAt);
        *failure = Refusal(image, FormatMessageText(IDS_IMAGE_EXPIRED, image.imagePath.c_str(), image.site.c_str(),
                                                    date.c_str()),
                           "it expired on " + date);
        return false;
    }
    // A long appID is cut so the name stays within the registry's limit for value names.
    const std::string valueName = trust.appID.substr(0, 16000) + " " + HexText(key.data(), key.size());
    int32_t accepted = 0;
    const bool seen = AcceptedVersion(valueName, &accepted);
    if (seen && image.version < accepted) {
        *failure = Refusal(image, FormatMessageText(IDS_IMAGE_ROLLBACK, image.imagePath.c_str(), image.site.c_str(),
                                                    static_cast<int>(image.version), static_cast<int>(accepted)),
                           FormatText("its version %d is older than version %d, taken before",
                                      static_cast<int>(image.version), static_cast<int>(accepted)));
        return false;
    }
    if (!seen || image.version > accepted) RememberVersion(valueName, image.version);
    return true;
}
