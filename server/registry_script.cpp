#include "server/registry_script.h"

#include <utility>

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

bool IsControl(char c) {
    return static_cast<unsigned char>(c) < 0x20 && !IsBlank(c);
}

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsNoCase(const std::string& a, const char* b) {
    size_t i = 0;
    for (; i < a.size(); ++i) {
        if (b[i] == '\0' || LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    }
    return b[i] == '\0';
}

bool EqualsNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && EqualsNoCase(a, b.c_str());
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = LowerAscii(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// One replaced stretch: [outStart, outEnd) of the expanded text came from
// [inStart, inEnd) of the original.
struct ReplacedSpan {
    size_t outStart;
    size_t outEnd;
    size_t inStart;
    size_t inEnd;
};

bool Expand(const std::string& text, const std::map<std::string, std::string>& replacements,
            std::string& expanded, std::vector<ReplacedSpan>& spans, size_t& errorOffset,
            std::string& message) {
    expanded.clear();
    spans.clear();
    size_t i = 0;
    while (i < text.size()) {
        size_t percent = text.find('%', i);
        if (percent == std::string::npos) {
            expanded.append(text, i, std::string::npos);
            break;
        }
        expanded.append(text, i, percent - i);
        size_t close = text.find('%', percent + 1);
        if (close == std::string::npos) {
            errorOffset = percent;
            message = "'%' without its closing '%'";
            return false;
        }
        ReplacedSpan span{expanded.size(), 0, percent, close + 1};
        if (close == percent + 1) {
            expanded.push_back('%');
        } else {
            std::string name = text.substr(percent + 1, close - percent - 1);
            const std::string* value = nullptr;
            for (const auto& entry : replacements) {
                if (EqualsNoCase(entry.first, name)) {
                    value = &entry.second;
                    break;
                }
            }
            if (value == nullptr) {
                errorOffset = percent;
                message = "no value for the replacement %" + name + "%";
                return false;
            }
            expanded += *value;
        }
        span.outEnd = expanded.size();
        spans.push_back(span);
        i = close + 1;
    }
    return true;
}

// Maps an offset of the expanded text back to the original text.
size_t OriginalOffset(size_t offset, const std::vector<ReplacedSpan>& spans) {
    size_t outBase = 0;
    size_t inBase = 0;
    for (const ReplacedSpan& span : spans) {
        if (offset < span.outStart) break;
        if (offset < span.outEnd) return span.inStart;
        outBase = span.outEnd;
        inBase = span.inEnd;
    }
    return inBase + (offset - outBase);
}

void Locate(const std::string& text, size_t offset, RegScriptError& error) {
    if (offset > text.size()) offset = text.size();
    error.offset = offset;
    error.line = 1;
    error.column = 1;
    for (size_t i = 0; i < offset; ++i) {
        if (text[i] == '\n') {
            ++error.line;
            error.column = 1;
        } else {
            ++error.column;
        }
    }
}

enum class TokenKind { End, Open, Close, Equals, Word, Quoted };

struct Token {
    TokenKind kind = TokenKind::End;
    std::string text;
    size_t offset = 0;
};

bool Tokenize(const std::string& text, std::vector<Token>& tokens, size_t& errorOffset,
              std::string& message) {
    const size_t n = text.size();
    size_t i = 0;
    for (;;) {
        while (i < n && IsBlank(text[i])) ++i;
        Token token;
        token.offset = i;
        if (i >= n) {
            tokens.push_back(std::move(token));
            return true;
        }
        const char c = text[i];
        if (IsControl(c)) {
            errorOffset = i;
            message = "unexpected control character";
            return false;
        }
        if (c == '\'') {
            token.kind = TokenKind::Quoted;
            ++i;
            for (;;) {
                if (i >= n) {
                    errorOffset = token.offset;
                    message = "quoted text without its closing quote";
                    return false;
                }
                if (text[i] == '\'') {
                    if (i + 1 < n && text[i + 1] == '\'') {
                        token.text.push_back('\'');
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                token.text.push_back(text[i++]);
            }
        } else if (c == '=') {
            token.kind = TokenKind::Equals;
            ++i;
        } else if (c == '}') {
            token.kind = TokenKind::Close;
            ++i;
        } else if (c == '{' && (i + 1 >= n || IsBlank(text[i + 1]) || text[i + 1] == '{' ||
                                text[i + 1] == '}' || text[i + 1] == '\'')) {
            token.kind = TokenKind::Open;
            ++i;
        } else {
            token.kind = TokenKind::Word;
            const bool braced = c == '{';
            bool braceClosed = false;
            while (i < n) {
                const char ch = text[i];
                if (IsBlank(ch) || ch == '=' || ch == '\'') break;
                if (ch == '{' && !token.text.empty()) break;
                if (ch == '}') {
                    if (!braced || braceClosed) break;
                    braceClosed = true;
                }
                if (IsControl(ch)) {
                    errorOffset = i;
                    message = "unexpected control character";
                    return false;
                }
                token.text.push_back(ch);
                ++i;
            }
        }
        tokens.push_back(std::move(token));
    }
}

bool ParseDword(const std::string& text, uint32_t& number) {
    uint64_t value = 0;
    if (text.size() > 2 && text[0] == '0' && LowerAscii(text[1]) == 'x') {
        if (text.size() > 10) return false;
        for (size_t i = 2; i < text.size(); ++i) {
            int digit = HexDigitValue(text[i]);
            if (digit < 0) return false;
            value = value * 16 + static_cast<uint64_t>(digit);
        }
    } else {
        if (text.empty()) return false;
        for (char c : text) {
            if (c < '0' || c > '9') return false;
            value = value * 10 + static_cast<uint64_t>(c - '0');
            if (value > 0xFFFFFFFFull) return false;
        }
    }
    number = static_cast<uint32_t>(value);
    return true;
}

class Parser {
public:
    explicit Parser(const std::vector<Token>& tokens) : tokens_(tokens) {}

    bool ParseScript(RegScript& script) {
        while (Current().kind != TokenKind::End) {
            const Token& rootToken = Current();
            RegScriptRootBlock block;
            if (rootToken.kind != TokenKind::Word || !RootFromName(rootToken.text, block.root)) {
                return Fail(rootToken.offset, "expected a root key such as HKCR");
            }
            ++pos_;
            if (Current().kind != TokenKind::Open) {
                return Fail(Current().offset, "expected '{' after " + rootToken.text);
            }
            const size_t open = Current().offset;
            ++pos_;
            if (!ParseBlock(block.keys, nullptr, 1, open)) return false;
            script.roots.push_back(std::move(block));
        }
        return true;
    }

    size_t errorOffset = 0;
    std::string message;

private:
    const Token& Current() const { return tokens_[pos_]; }

    bool Fail(size_t offset, std::string text) {
        errorOffset = offset;
        message = std::move(text);
        return false;
    }

    static bool RootFromName(const std::string& name, RegScriptRoot& root) {
        static const struct {
            const char* shortName;
            const char* longName;
            RegScriptRoot root;
        } kRoots[] = {
            {"HKCR", "HKEY_CLASSES_ROOT", RegScriptRoot::ClassesRoot},
            {"HKCU", "HKEY_CURRENT_USER", RegScriptRoot::CurrentUser},
            {"HKLM", "HKEY_LOCAL_MACHINE", RegScriptRoot::LocalMachine},
            {"HKU", "HKEY_USERS", RegScriptRoot::Users},
            {"HKCC", "HKEY_CURRENT_CONFIG", RegScriptRoot::CurrentConfig},
            {"HKDD", "HKEY_DYN_DATA", RegScriptRoot::DynData},
            {"HKPD", "HKEY_PERFORMANCE_DATA", RegScriptRoot::PerformanceData},
        };
        for (const auto& entry : kRoots) {
            if (EqualsNoCase(name, entry.shortName) || EqualsNoCase(name, entry.longName)) {
                root = entry.root;
                return true;
            }
        }
        return false;
    }

    static bool FlagFromWord(const std::string& word, RegScriptFlag& flag) {
        if (EqualsNoCase(word, "ForceRemove")) {
            flag = RegScriptFlag::ForceRemove;
        } else if (EqualsNoCase(word, "NoRemove")) {
            flag = RegScriptFlag::NoRemove;
        } else if (EqualsNoCase(word, "Delete")) {
            flag = RegScriptFlag::Delete;
        } else {
            return false;
        }
        return true;
    }

    static bool IsName(const Token& token) {
        return token.kind == TokenKind::Word || token.kind == TokenKind::Quoted;
    }

    // values is null for a root block, which holds keys only.
    bool ParseBlock(std::vector<RegScriptKey>& keys, std::vector<RegScriptNamedValue>* values,
                    size_t depth, size_t openOffset) {
        for (;;) {
            const Token& token = Current();
            if (token.kind == TokenKind::Close) {
                ++pos_;
                return true;
            }
            if (token.kind == TokenKind::End) {
                return Fail(openOffset, "block without its closing '}'");
            }
            if (!IsName(token)) {
                return Fail(token.offset, "expected a key name, a flag, 'val' or '}'");
            }
            if (token.kind == TokenKind::Word && EqualsNoCase(token.text, "val")) {
                if (values == nullptr) {
                    return Fail(token.offset, "a named value needs a key: 'val' directly in a root block");
                }
                if (!ParseNamedValue(*values)) return false;
                continue;
            }
            if (!ParseKey(keys, depth)) return false;
        }
    }

    bool ParseKey(std::vector<RegScriptKey>& keys, size_t depth) {
        RegScriptKey key;
        if (Current().kind == TokenKind::Word && FlagFromWord(Current().text, key.flag)) {
            const std::string flagWord = Current().text;
            ++pos_;
            RegScriptFlag second;
            if (!IsName(Current()) ||
                (Current().kind == TokenKind::Word &&
                 (FlagFromWord(Current().text, second) || EqualsNoCase(Current().text, "val")))) {
                return Fail(Current().offset, "expected a key name after " + flagWord +
                                                  " (a key named like a keyword is written in quotes)");
            }
        }
        const Token& nameToken = Current();
        if (nameToken.text.empty()) return Fail(nameToken.offset, "empty key name");
        if (nameToken.text.find('\\') != std::string::npos) {
            return Fail(nameToken.offset, "a key name holds one key: no '\\'");
        }
        if (nameToken.text.size() > kRegScriptMaxKeyName) {
            return Fail(nameToken.offset, "key name longer than 255 characters");
        }
        key.name = nameToken.text;
        ++pos_;
        if (Current().kind == TokenKind::Equals) {
            ++pos_;
            if (!ParseTypedValue(key.defaultValue)) return false;
            key.hasDefault = true;
        }
        if (Current().kind == TokenKind::Open) {
            const size_t open = Current().offset;
            if (depth + 1 > kRegScriptMaxDepth) return Fail(open, "blocks nested too deep");
            ++pos_;
            if (!ParseBlock(key.subkeys, &key.values, depth + 1, open)) return false;
        }
        keys.push_back(std::move(key));
        return true;
    }

    bool ParseNamedValue(std::vector<RegScriptNamedValue>& values) {
        ++pos_;  // val
        RegScriptNamedValue value;
        if (!IsName(Current())) return Fail(Current().offset, "expected a value name after 'val'");
        if (Current().text.size() > kRegScriptMaxValueName) {
            return Fail(Current().offset, "value name longer than 16383 characters");
        }
        value.name = Current().text;
        ++pos_;
        if (Current().kind != TokenKind::Equals) {
            return Fail(Current().offset, "expected '=' after the value name");
        }
        ++pos_;
        if (!ParseTypedValue(value.value)) return false;
        values.push_back(std::move(value));
        return true;
    }

    bool ParseTypedValue(RegScriptValue& value) {
        const Token& typeToken = Current();
        if (typeToken.kind != TokenKind::Word || typeToken.text.size() != 1) {
            return Fail(typeToken.offset, "expected a type letter s, d or b");
        }
        const char letter = LowerAscii(typeToken.text[0]);
        ++pos_;
        const Token& data = Current();
        if (letter != 's' && letter != 'd' && letter != 'b') {
            return Fail(typeToken.offset, "unknown type letter '" + typeToken.text + "'");
        }
        if (!IsName(data)) return Fail(data.offset, "expected a value after the type letter");
        if (letter == 's') {
            value.type = RegScriptType::String;
            value.text = data.text;
        } else if (letter == 'd') {
            value.type = RegScriptType::Dword;
            if (!ParseDword(data.text, value.number)) {
                return Fail(data.offset, "not a 32-bit number: '" + data.text + "'");
            }
        } else {
            value.type = RegScriptType::Binary;
            if (data.text.size() % 2 != 0) {
                return Fail(data.offset, "binary value with an odd number of hexadecimal digits");
            }
            const size_t textStart = data.offset + (data.kind == TokenKind::Quoted ? 1 : 0);
            value.bytes.reserve(data.text.size() / 2);
            for (size_t i = 0; i < data.text.size(); i += 2) {
                const int high = HexDigitValue(data.text[i]);
                const int low = HexDigitValue(data.text[i + 1]);
                if (high < 0 || low < 0) {
                    return Fail(textStart + (high < 0 ? i : i + 1),
                                "not a hexadecimal digit in a binary value");
                }
                value.bytes.push_back(static_cast<uint8_t>(high * 16 + low));
            }
        }
        ++pos_;
        return true;
    }

    const std::vector<Token>& tokens_;
    size_t pos_ = 0;
};

}  // namespace

bool ExpandRegScriptReplacements(const std::string& text,
                                 const std::map<std::string, std::string>& replacements,
                                 std::string& expanded, RegScriptError& error) {
    std::vector<ReplacedSpan> spans;
    size_t offset = 0;
    std::string message;
    if (Expand(text, replacements, expanded, spans, offset, message)) return true;
    expanded.clear();
    Locate(text, offset, error);
    error.message = message;
    return false;
}

bool ParseRegistryScript(const std::string& text,
                         const std::map<std::string, std::string>& replacements,
                         RegScript& script, RegScriptError& error) {
    script.roots.clear();
    std::string expanded;
    std::vector<ReplacedSpan> spans;
    size_t offset = 0;
    std::string message;
    if (!Expand(text, replacements, expanded, spans, offset, message)) {
        Locate(text, offset, error);
        error.message = message;
        return false;
    }
    std::vector<Token> tokens;
    bool ok = Tokenize(expanded, tokens, offset, message);
    if (ok) {
        Parser parser(tokens);
        ok = parser.ParseScript(script);
        if (!ok) {
            offset = parser.errorOffset;
            message = parser.message;
        }
    }
    if (!ok) {
        script.roots.clear();
        Locate(text, OriginalOffset(offset, spans), error);
        error.message = message;
    }
    return ok;
}

std::string DescribeRegScriptError(const RegScriptError& error) {
    return "line " + std::to_string(error.line) + ", column " + std::to_string(error.column) +
           ": " + error.message;
}

std::string DoubleSingleQuotes(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        out.push_back(c);
        if (c == '\'') out.push_back('\'');
    }
    return out;
}
