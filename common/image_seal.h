// The seal of a signed update image: comment lines, which an engine without a publisher's
// key passes over like any other comment, so a signed image reads the same everywhere.
//
//   'sha256 <64 hex digits> <remote path>      one per object a client may fetch: the
//                                              SHA-256 of the file's bytes as the site serves it
//   'expires 2027-01-31T12:00:00Z              optional: the image is refused after that time
//   'signature p256 <128 hex> <128 hex>        the signer's public key (X then Y) and the
//                                              ECDSA P-256 signature (r then s) of the
//                                              SHA-256 of every byte before this line
//
// The signature line is the image's last line: only blanks and line ends may follow it,
// so nothing can be added to a signed image unseen. The seal's lines before it are
// signed like the rest. The digests are taken only once the signature has been checked.
//
// A publisher key is written as one line of text, "halvorin-p256:" and 128 hex digits (X
// then Y of the public point); its private part as "halvorin-p256-private:" and 64 hex
// digits. No cryptography here: the reading and writing of these texts only.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

using Sha256Bytes = std::array<uint8_t, 32>;
using PublicKeyBytes = std::array<uint8_t, 64>;     // X then Y, big-endian
using PrivateKeyBytes = std::array<uint8_t, 32>;    // d, big-endian
using SignatureBytes = std::array<uint8_t, 64>;     // r then s, big-endian

// Remote path, exactly as the image's lines give it after '\' became '/' -> SHA-256.
using ObjectDigests = std::map<std::string, Sha256Bytes>;

struct ImageSeal {
    bool present = false;      // a signature line ends the text
    std::string problem;       // why the seal cannot be trusted whatever the key; empty: none
    size_t signedLength = 0;   // the signed bytes: text[0, signedLength)
    PublicKeyBytes signer{};   // the key the signature line names
    SignatureBytes signature{};
    bool expires = false;
    int64_t expiresAt = 0;     // seconds since 1970-01-01 UTC
    ObjectDigests digests;
    Sha256Bytes signedHash{};  // filled by whoever has a hash at hand (the engine, the tool)
};

// Reads the seal of length bytes of text (the image as read, before the parser blanks
// its comments). Without a signature line, present stays false. A signature line that is
// not the last line, a malformed seal line before it, or two digests for one path set
// problem.
void ReadImageSeal(const char* text, size_t length, ImageSeal* seal);

// The seal lines that publish appends to an image (each ends with CR LF).
std::string SealDigestLine(const std::string& remotePath, const Sha256Bytes& digest);
std::string SealExpiresLine(int64_t expiresAt);
std::string SealSignatureLine(const PublicKeyBytes& signer, const SignatureBytes& signature);

// The one-line texts of a key. Parsing trims blanks and line ends around the text and
// takes the hex digits in either case; false for anything else.
std::string PublicKeyText(const PublicKeyBytes& key);
bool ParsePublicKeyText(const std::string& text, PublicKeyBytes* key);
std::string PrivateKeyText(const PrivateKeyBytes& key);
bool ParsePrivateKeyText(const std::string& text, PrivateKeyBytes* key);

// "YYYY-MM-DDTHH:MM:SSZ" (UTC) and back; false for any other form or a date that is not
// in the calendar.
std::string SealTimeText(int64_t seconds);
bool ParseSealTime(const std::string& text, int64_t* seconds);

std::string HexText(const uint8_t* bytes, size_t size);
// Exactly size bytes from 2 * size hex digits; false otherwise.
bool ParseHex(const std::string& text, uint8_t* bytes, size_t size);
