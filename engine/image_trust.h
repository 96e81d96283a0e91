// Whose update images an operation takes. Without a publisher's key every image is taken
// as the site gives it. With one, an image is taken only when it carries that key's valid
// signature, has not expired, and is not older than the newest one this application has
// taken under that key before (so a site cannot send an installation back to a release
// with known faults); every file the image names is then bound to the SHA-256 the
// signed image gives for it.
#pragma once
#include <string>

#include "common/diagnostics.h"
#include "common/image_model.h"

struct ImageTrust {
    std::string publisherKey;  // the key's one-line text; empty: no key
    std::string appID;         // whose accepted versions are remembered
};

// Registry key (under HKEY_CURRENT_USER) of the accepted versions: one REG_DWORD per
// application and key, named "<appID> <key's hex digits>", holding the highest VERSION
// taken under that key.
constexpr char kAcceptedVersionKey[] = "Software\\Tolbeck\\Halvorin\\Accepted";

// True when the image may be used: always without a key; with one, when the seal checks
// out and the image's VERSION is not below the highest accepted (which then becomes the
// highest). Otherwise *failure tells why (box, report and log texts). A key text that is
// no key refuses every image.
bool TrustImage(const UpdateImage& image, const ImageTrust& trust, Failure* failure);
