// The key files of keygen, in both builds.
#include <cstring>

#include "tools/makepatch/tool_io.h"
#include "tools/site/site_crypto.h"
#include "tools/site/site_files.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

// Writes a new file that must not exist yet; natively readable and writable by its owner
// only (the private key).
bool WriteNewFile(const std::string& path, const std::string& text, bool privateFile) {
#ifdef _WIN32
    (void)privateFile;  // the profile's folders keep other users out on Windows
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                    written == text.size();
    return CloseHandle(file) && ok;
#else
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, privateFile ? 0600 : 0644);
    if (fd < 0) return false;
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
    return close(fd) == 0 && ok;
#endif
}

}  // namespace

bool WriteNewKey(const std::string& path, std::string* publicLine, std::string* error) {
    if (PathExists(path) || PathExists(path + ".pub")) {
        *error = path + " or " + path + ".pub exists already: a key is never overwritten";
        return false;
    }
    SigningKey key;
    if (!ToolGenerateKey(&key.privateKey, &key.publicKey)) {
        *error = "no key could be made";
        return false;
    }
    *publicLine = PublicKeyText(key.publicKey);
    std::string privateText = PrivateKeyText(key.privateKey) + "\n" + *publicLine + "\n";
    const bool written = WriteNewFile(path, privateText, true);
    std::fill(privateText.begin(), privateText.end(), '\0');
    key.privateKey.fill(0);
    if (!written) {
        *error = "cannot write " + path;
        return false;
    }
    if (!WriteNewFile(path + ".pub", *publicLine + "\n", false)) {
        *error = "cannot write " + path + ".pub";
        return false;
    }
    return true;
}

bool ReadSigningKey(const std::string& path, SigningKey* key, std::string* error) {
    std::vector<uint8_t> bytes;
    if (!ReadInputFile(path, &bytes)) {
        *error = "cannot read the key file " + path;
        return false;
    }
    const std::string text(bytes.begin(), bytes.end());
    std::fill(bytes.begin(), bytes.end(), 0);
    const size_t lineEnd = text.find('\n');
    if (lineEnd == std::string::npos || !ParsePrivateKeyText(text.substr(0, lineEnd), &key->privateKey) ||
        !ParsePublicKeyText(text.substr(lineEnd + 1), &key->publicKey)) {
        *error = path + " is not a key file that halvorin-site keygen wrote";
        return false;
    }
    // The halves belong together when a signature of the one verifies with the other.
    Sha256Bytes probe{};
    SignatureBytes signature;
    if (!ToolSign(key->privateKey, key->publicKey, probe, &signature) || !ToolVerify(key->publicKey, probe, signature)) {
        *error = path + ": its private and public parts do not belong together";
        return false;
    }
    return true;
}
