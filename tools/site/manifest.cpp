#include "tools/site/manifest.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

// The words of a line: blanks separate them, double quotes hold blanks inside one, '#'
// outside quotes ends the line. False for a quote left open.
bool SplitWords(const std::string& line, std::vector<std::string>* words) {
    words->clear();
    size_t i = 0;
    while (i < line.size()) {
        const char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r') {
            ++i;
        } else if (c == '#') {
            break;
        } else if (c == '"') {
            const size_t close = line.find('"', i + 1);
            if (close == std::string::npos) return false;
            words->push_back(line.substr(i + 1, close - i - 1));
            i = close + 1;
        } else {
            size_t end = i;
            while (end < line.size() && line[end] != ' ' && line[end] != '\t' && line[end] != '\r') ++end;
            words->push_back(line.substr(i, end - i));
            i = end;
        }
    }
    return true;
}

bool ReadVersion(const std::string& text, int32_t* version) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const long value = strtol(text.c_str(), &end, 10);
    if (*end != '\0' || errno != 0 || value < INT32_MIN || value > INT32_MAX) return false;
    *version = static_cast<int32_t>(value);
    return true;
}

std::string Slashes(std::string path) {
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
    return path;
}

std::string LastPart(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// "none", or "[exec]" and "[exec_always]" in any case, one after another.
bool IsFlagText(const std::string& flags) {
    if (flags.empty()) return false;
    std::string lower;
    for (char c : flags) lower += static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (lower == "none") return true;
    for (size_t at = 0; at < lower.size();) {
        if (lower.compare(at, 6, "[exec]") == 0) {
            at += 6;
        } else if (lower.compare(at, 13, "[exec_always]") == 0) {
            at += 13;
        } else {
            return false;
        }
    }
    return true;
}

bool IsHostLabel(const std::string& label) {
    if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') return false;
    for (char c : label) {
        if (!isalnum(static_cast<unsigned char>(c)) && c != '-') return false;
    }
    return true;
}

}  // namespace

bool IsSiteText(const std::string& site) {
    std::string rest = site;
    for (const char* scheme : {"https://", "http://"}) {
        const size_t length = strlen(scheme);
        if (rest.size() > length && strncasecmp(rest.c_str(), scheme, length) == 0) {
            rest = rest.substr(length);
            break;
        }
    }
    const size_t colon = rest.find(':');
    if (colon != std::string::npos) {
        const std::string port = rest.substr(colon + 1);
        if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return false;
        const long number = strtol(port.c_str(), nullptr, 10);
        if (number < 1 || number > 65535) return false;
        rest.resize(colon);
    }
    if (rest.empty() || rest.size() > 253) return false;
    for (size_t start = 0;;) {
        const size_t dot = rest.find('.', start);
        if (!IsHostLabel(rest.substr(start, dot == std::string::npos ? std::string::npos : dot - start))) return false;
        if (dot == std::string::npos) return true;
        start = dot + 1;
    }
}

bool MatchPathPattern(const std::string& pattern, const std::string& path) {
    // The states are the positions in the pattern; a star stays where it is while it
    // takes a character. All states advance together over the path, so no choice is ever
    // tried twice.
    const size_t n = pattern.size();
    std::vector<char> states(n + 1, 0), next(n + 1, 0);
    // A state standing on a star may also skip it (take nothing).
    auto close = [&](std::vector<char>& set) {
        for (size_t i = 0; i < n; ++i) {
            if (!set[i] || pattern[i] != '*') continue;
            const size_t after = i + 1 < n && pattern[i + 1] == '*' ? i + 2 : i + 1;
            set[after] = 1;
        }
    };
    states[0] = 1;
    close(states);
    for (const char c : path) {
        std::fill(next.begin(), next.end(), 0);
        bool any = false;
        for (size_t i = 0; i < n; ++i) {
            if (!states[i]) continue;
            if (pattern[i] == '*') {
                const bool crossing = i + 1 < n && pattern[i + 1] == '*';
                if (crossing || c != '/') next[i] = any = 1;
            } else if (pattern[i] == c || (pattern[i] == '?' && c != '/')) {
                next[i + 1] = any = 1;
            }
        }
        if (!any) return false;
        close(next);
        states.swap(next);
    }
    return states[n] != 0;
}

bool ParseManifest(const std::string& text, Manifest* manifest, std::string* error) {
    size_t number = 0;
    auto fail = [&](const std::string& problem) {
        *error = number ? std::to_string(number) + ": " + problem : " " + problem;
        return false;
    };
    std::vector<std::string> words;
    // A byte-order mark that an editor put in front is no part of the first directive.
    size_t start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    auto flagsOf = [&](const std::string& word, std::string* flags) {
        if (!IsFlagText(word)) {
            return fail("unknown flag \"" + word + "\": the flags are [exec] and [exec_always] " +
                        "(a path that holds blanks goes in double quotes)");
        }
        *flags = word;
        return true;
    };
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        ++number;
        if (!SplitWords(line, &words)) return fail("a double quote is not closed");
        if (words.empty()) continue;
        const std::string& directive = words[0];
        const size_t count = words.size() - 1;
        auto wants = [&](size_t least, size_t most) {
            return count >= least && count <= most;
        };
        if (directive == "site") {
            if (!wants(1, 1)) return fail("site takes one host name");
            if (!IsSiteText(words[1])) {
                return fail("site \"" + words[1] + "\" is no host name or address (host, host:port, https://host)");
            }
            manifest->site = words[1];
        } else if (directive == "codepage") {
            char* end = nullptr;
            const unsigned long codePage = wants(1, 1) ? strtoul(words[1].c_str(), &end, 10) : 0;
            if (!wants(1, 1) || words[1].empty() || *end != '\0' || codePage == 0 || codePage > 65535) {
                return fail("codepage takes the number of a code page (1252, 932, ...)");
            }
            manifest->codePage = static_cast<unsigned>(codePage);
            manifest->codePageLine = number;
        } else if (directive == "image") {
            if (!wants(1, 1) || words[1].empty() || words[1][0] != '/') return fail("image takes one path that starts with '/'");
            manifest->imagePath = words[1];
        } else if (directive == "release") {
            ManifestRelease release;
            if (!wants(2, 2) || !ReadVersion(words[1], &release.version)) return fail("release takes a version number and a directory");
            if (!manifest->releases.empty() && release.version <= manifest->releases.back().version) {
                return fail("release " + words[1] + " is not newer than the release before it");
            }
            release.directory = words[2];
            release.line = number;
            manifest->releases.push_back(release);
        } else if (directive == "direct") {
            int32_t version = 0;
            if (!wants(1, 1) || !ReadVersion(words[1], &version)) return fail("direct takes a version number");
            manifest->directFrom.push_back({version, number});
        } else if (directive == "mandatory") {
            if (!wants(1, 2)) return fail("mandatory takes a path of the newest release and its flags");
            std::string flags;
            if (count == 2 && !flagsOf(words[2], &flags)) return false;
            manifest->mandatory.push_back({Slashes(words[1]), Slashes(words[1]), flags, number});
        } else if (directive == "engine") {
            if (!wants(1, 2)) return fail("engine takes a file and its name in the engine's directory");
            manifest->engine.push_back({words[1], count == 2 ? words[2] : LastPart(words[1]), "", number});
        } else if (directive == "module") {
            if (!wants(1, 2) || words[1].find(' ') != std::string::npos) return fail("module takes a name without blanks and a description");
            manifest->modules.push_back({words[1], count == 2 ? words[2] : "", {}, number});
        } else if (directive == "module-file") {
            if (manifest->modules.empty()) return fail("module-file before any module");
            if (!wants(2, 3)) return fail("module-file takes a file, its installed path and its flags");
            std::string flags;
            if (count == 3 && !flagsOf(words[3], &flags)) return false;
            manifest->modules.back().files.push_back({words[1], Slashes(words[2]), flags, number});
        } else if (directive == "sign") {
            if (!wants(1, 1) || words[1].empty()) return fail("sign takes the private key file that halvorin-site keygen wrote");
            manifest->signKey = words[1];
            manifest->signLine = number;
        } else if (directive == "expires") {
            char* end = nullptr;
            const unsigned long days = wants(1, 1) ? strtoul(words[1].c_str(), &end, 10) : 0;
            if (!wants(1, 1) || words[1].empty() || *end != '\0' || days == 0 || days > 36500) {
                return fail("expires takes a number of days, 1 to 36500");
            }
            manifest->expiresDays = static_cast<unsigned>(days);
            manifest->expiresLine = number;
        } else if (directive == "patch-format") {
            if (!wants(1, 1) || (words[1] != "1" && words[1] != "2")) return fail("patch-format takes 1 or 2");
            manifest->patchFormat = static_cast<uint8_t>(words[1][0] - '0');
        } else {
            return fail("unknown directive \"" + directive + "\"");
        }
    }
    number = 0;
    if (manifest->site.empty()) return fail("no site");
    if (manifest->releases.empty()) return fail("no release");
    if (manifest->expiresDays && manifest->signKey.empty()) {
        number = manifest->expiresLine;
        return fail("expires without sign: only a signed image carries an end date");
    }
    for (const ManifestDirect& direct : manifest->directFrom) {
        bool known = false;
        for (const ManifestRelease& release : manifest->releases) known = known || release.version == direct.version;
        if (!known || direct.version == manifest->releases.back().version) {
            number = direct.line;
            return fail("direct " + std::to_string(direct.version) + " names no older release");
        }
    }
    return true;
}
