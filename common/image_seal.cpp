#include "common/image_seal.h"

#include <cstdio>
#include <vector>

namespace {

constexpr char kDigestWord[] = "'sha256";
constexpr char kExpiresWord[] = "'expires";
constexpr char kSignatureWord[] = "'signature";
constexpr char kAlgorithm[] = "p256";
constexpr char kPublicPrefix[] = "halvorin-p256:";
constexpr char kPrivatePrefix[] = "halvorin-p256-private:";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && IsBlank(line[i])) ++i;
        const size_t start = i;
        while (i < line.size() && !IsBlank(line[i])) ++i;
        if (i > start) words.push_back(line.substr(start, i - start));
    }
    return words;
}

std::string Trimmed(const std::string& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && (IsBlank(text[begin]) || IsLineEnd(text[begin]))) ++begin;
    while (end > begin && (IsBlank(text[end - 1]) || IsLineEnd(text[end - 1]))) --end;
    return text.substr(begin, end - begin);
}

// The line's first word is word, followed by a blank.
bool OpensWith(const std::string& line, const char* word) {
    const std::string w(word);
    return line.size() > w.size() && line.compare(0, w.size(), w) == 0 && IsBlank(line[w.size()]);
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

unsigned DaysInMonth(int64_t year, unsigned month) {
    static const unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

void ReadSealLine(const std::string& line, ImageSeal* seal, bool* expiresSeen) {
    if (OpensWith(line, kDigestWord)) {
        // The path is the rest of the line after the digest, blanks inside kept.
        size_t at = std::string(kDigestWord).size();
        while (at < line.size() && IsBlank(line[at])) ++at;
        const size_t digestEnd = line.find_first_of(" \t", at);
        Sha256Bytes digest;
        const std::string path = digestEnd == std::string::npos ? std::string() : Trimmed(line.substr(digestEnd));
        if (digestEnd == std::string::npos || !ParseHex(line.substr(at, digestEnd - at), digest.data(), digest.size()) ||
            path.empty()) {
            seal->problem = "a digest line of the seal is malformed: " + line;
            return;
        }
        const auto placed = seal->digests.emplace(path, digest);
        if (!placed.second && placed.first->second != digest) seal->problem = "the seal gives two digests for " + path;
    } else if (OpensWith(line, kExpiresWord)) {
        const std::vector<std::string> words = Words(line);
        if (*expiresSeen || words.size() != 2 || !ParseSealTime(words[1], &seal->expiresAt)) {
            seal->problem = "the seal's end date is malformed or given twice: " + line;
            return;
        }
        *expiresSeen = true;
        seal->expires = true;
    }
}

}  // namespace

void ReadImageSeal(const char* text, size_t length, ImageSeal* seal) {
    *seal = ImageSeal();
    size_t end = length;
    while (end > 0 && (IsBlank(text[end - 1]) || IsLineEnd(text[end - 1]))) --end;
    size_t start = end;
    while (start > 0 && !IsLineEnd(text[start - 1])) --start;
    const std::string last(text + start, end - start);
    if (!OpensWith(last, kSignatureWord)) return;
    seal->present = true;
    seal->signedLength = start;
    const std::vector<std::string> words = Words(last);
    if (words.size() != 4 || words[1] != kAlgorithm || !ParseHex(words[2], seal->signer.data(), seal->signer.size()) ||
        !ParseHex(words[3], seal->signature.data(), seal->signature.size())) {
        seal->problem = "the signature line is malformed";
        return;
    }
    bool expiresSeen = false;
    size_t at = 0;
    while (at < start && seal->problem.empty()) {
        size_t lineEnd = at;
        while (lineEnd < start && !IsLineEnd(text[lineEnd])) ++lineEnd;
        if (lineEnd > at && text[at] == '\'') ReadSealLine(std::string(text + at, lineEnd - at), seal, &expiresSeen);
        at = lineEnd + 1;
    }
}

std::string SealDigestLine(const std::string& remotePath, const Sha256Bytes& digest) {
    return std::string(kDigestWord) + " " + HexText(digest.data(), digest.size()) + " " + remotePath + "\r\n";
}

std::string SealExpiresLine(int64_t expiresAt) { return std::string(kExpiresWord) + " " + SealTimeText(expiresAt) + "\r\n"; }

std::string SealSignatureLine(const PublicKeyBytes& signer, const SignatureBytes& signature) {
    return std::string(kSignatureWord) + " " + kAlgorithm + " " + HexText(signer.data(), signer.size()) + " " +
           HexText(signature.data(), signature.size()) + "\r\n";
}

std::string PublicKeyText(const PublicKeyBytes& key) { return kPublicPrefix + HexText(key.data(), key.size()); }

bool ParsePublicKeyText(const std::string& text, PublicKeyBytes* key) {
    const std::string line = Trimmed(text);
    const std::string prefix(kPublicPrefix);
    return line.compare(0, prefix.size(), prefix) == 0 && ParseHex(line.substr(prefix.size()), key->data(), key->size());
}

std::string PrivateKeyText(const PrivateKeyBytes& key) { return kPrivatePrefix + HexText(key.data(), key.size()); }

bool ParsePrivateKeyText(const std::string& text, PrivateKeyBytes* key) {
    const std::string line = Trimmed(text);
    const std::string prefix(kPrivatePrefix);
    return line.compare(0, prefix.size(), prefix) == 0 && ParseHex(line.substr(prefix.size()), key->data(), key->size());
}

std::string SealTimeText(int64_t seconds) {
    int64_t days = seconds / 86400;
    int64_t rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    // Civil date from days (the inverse of DaysFromCivil).
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned monthIndex = (5 * dayOfYear + 2) / 153;
    const unsigned day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    const unsigned month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    const int64_t year = static_cast<int64_t>(yearOfEra) + era * 400 + (month <= 2);
    char text[64];
    snprintf(text, sizeof text, "%04lld-%02u-%02uT%02u:%02u:%02uZ", static_cast<long long>(year), month, day,
             static_cast<unsigned>(rest / 3600), static_cast<unsigned>(rest / 60 % 60), static_cast<unsigned>(rest % 60));
    return text;
}

bool ParseSealTime(const std::string& text, int64_t* seconds) {
    // Exactly "YYYY-MM-DDTHH:MM:SSZ".
    static const char kForm[] = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != sizeof kForm - 1) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (kForm[i] == 'd' ? (text[i] < '0' || text[i] > '9') : text[i] != kForm[i]) return false;
    }
    auto number = [&](size_t at, size_t digits) {
        unsigned value = 0;
        for (size_t i = 0; i < digits; ++i) value = value * 10 + static_cast<unsigned>(text[at + i] - '0');
        return value;
    };
    const unsigned year = number(0, 4), month = number(5, 2), day = number(8, 2);
    const unsigned hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
    if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) || hour > 23 || minute > 59 || second > 59) {
        return false;
    }
    *seconds = DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    return true;
}

std::string HexText(const uint8_t* bytes, size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * size);
    for (size_t i = 0; i < size; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 15];
    }
    return text;
}

bool ParseHex(const std::string& text, uint8_t* bytes, size_t size) {
    if (text.size() != 2 * size) return false;
    for (size_t i = 0; i < size; ++i) {
        const int high = HexValue(text[2 * i]), low = HexValue(text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        bytes[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return true;
}
