// libFuzzer target over the reading of a signed image's seal and of key and time texts:
// whatever the bytes, no read outside them, and what is read stays within the text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/image_seal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact-size copy, so that a read one past the end is caught.
    std::vector<char> text(data, data + size);
    ImageSeal seal;
    ReadImageSeal(text.data(), text.size(), &seal);
    if (seal.signedLength > size) abort();
    if (!seal.present && (!seal.digests.empty() || seal.expires)) abort();

    const std::string line(text.begin(), text.end());
    int64_t seconds = 0;
    if (ParseSealTime(line, &seconds) && SealTimeText(seconds) != line) abort();
    PublicKeyBytes key;
    if (ParsePublicKeyText(line, &key)) {
        PublicKeyBytes again;
        if (!ParsePublicKeyText(PublicKeyText(key), &again) || again != key) abort();
    }
    PrivateKeyBytes privateKey;
    ParsePrivateKeyText(line, &privateKey);
    return 0;
}
