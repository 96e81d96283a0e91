#include "engine/image_text.h"

namespace {

char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsNumberSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

constexpr uint64_t kNumberCeiling = 0xFFFFFFFFu;

// The value of a decimal text, its magnitude held at kNumberCeiling at most.
int64_t ReadImageDecimal(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && IsNumberSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    uint64_t magnitude = 0;
    for (; i < text.size() && IsDigit(text[i]); ++i) {
        magnitude = magnitude * 10 + static_cast<uint64_t>(text[i] - '0');
        if (magnitude > kNumberCeiling) magnitude = kNumberCeiling;
    }
    const int64_t value = static_cast<int64_t>(magnitude);
    return negative ? -value : value;
}

// Decodes the escapes of ProtectQuotedBlanks; protected blanks become blanks again only
// when restoreBlanks is set.
std::string DecodeProtected(const std::string& field, bool restoreBlanks) {
    std::string out;
    out.reserve(field.size());
    for (size_t i = 0; i < field.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(field[i]);
        if (c == kProtectionEscape && i + 1 < field.size()) {
            out += field[++i];
        } else if (c == kProtectedBlank && restoreBlanks) {
            out += ' ';
        } else {
            out += field[i];
        }
    }
    return out;
}

}  // namespace

bool MatchLinePattern(const std::string& pattern, const std::string& line,
                      std::vector<std::string>& fields) {
    // The literal pieces between the '$'.
    std::vector<std::string> literals;
    std::string piece;
    for (char c : pattern) {
        if (c != '$') {
            piece += c;
            continue;
        }
        if (piece.empty()) return false;  // "$$" or a leading '$': not a supported shape
        literals.push_back(piece);
        piece.clear();
    }
    if (literals.empty() || !piece.empty()) return false;  // no '$', or a literal at the end

    // Found literals are overwritten with CR in the work copy, which no literal holds, so
    // each search looks past the ones already placed.
    const std::string trimmed = TrimImageText(line);
    std::string work = trimmed;
    for (char& c : work) c = UpperAscii(c);

    std::vector<size_t> starts(literals.size());
    std::vector<size_t> ends(literals.size());
    for (size_t k = 0; k < literals.size(); ++k) {
        const int found = FindNoCase(work, literals[k]);
        if (found < 0) return false;
        const size_t start = static_cast<size_t>(found);
        if (k > 0 && start <= starts[k - 1]) return false;
        starts[k] = start;
        ends[k] = start + literals[k].size();
        const char matched = work[start];
        for (size_t i = start; i < ends[k]; ++i) work[i] = '\r';
        if (literals[k].size() == 1) {
            for (size_t i = ends[k]; i < work.size() && work[i] == matched; ++i) work[i] = '\r';
        }
    }
    if (starts[0] != 0) return false;

    std::vector<std::string> cut(literals.size());
    for (size_t k = 0; k < literals.size(); ++k) {
        const size_t from = ends[k];
        const size_t to = (k + 1 < literals.size()) ? starts[k + 1] : trimmed.size();
        if (to <= from) return false;
        cut[k] = TrimImageText(trimmed.substr(from, to - from));
        if (cut[k].empty()) return false;
    }
    fields.swap(cut);
    return true;
}

std::string ProtectQuotedBlanks(const std::string& line) {
    std::string out;
    out.reserve(line.size());
    bool inside = false;
    for (char c : line) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == '"') {
            inside = !inside;
            out += c;
        } else if (byte == kProtectedBlank || byte == kProtectionEscape) {
            out += static_cast<char>(kProtectionEscape);
            out += c;
        } else if (c == ' ' && inside) {
            out += static_cast<char>(kProtectedBlank);
        } else {
            out += c;
        }
    }
    return out;
}

std::string RestoreQuotedBlanks(const std::string& field) {
    return TrimImageText(DecodeProtected(field, true));
}

std::string DropProtectionEscapes(const std::string& field) { return DecodeProtected(field, false); }

int32_t ReadImageInt32(const std::string& text) {
    const int64_t value = ReadImageDecimal(text);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

uint32_t ReadImageUInt32(const std::string& text) {
    return static_cast<uint32_t>(static_cast<uint64_t>(ReadImageDecimal(text)));
}
