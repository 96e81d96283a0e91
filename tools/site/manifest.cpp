#include "tools/site/manifest.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

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

}  // namespace

namespace {

bool Match(const char* pattern, const char* path) {
    if (*pattern == '\0') return *path == '\0';
    if (pattern[0] == '*') {
        const bool crossing = pattern[1] == '*';  // "**" also crosses '/'
        pattern += crossing ? 2 : 1;
        for (;; ++path) {
            if (Match(pattern, path)) return true;
            if (*path == '\0' || (!crossing && *path == '/')) return false;
        }
    }
    if (*path != '\0' && (*pattern == *path || (*pattern == '?' && *path != '/'))) return Match(pattern + 1, path + 1);
    return false;
}

}  // namespace

bool MatchPathPattern(const std::string& pattern, const std::string& path) {
    return Match(pattern.c_str(), path.c_str());
}

bool ParseManifest(const std::string& text, Manifest* manifest, std::string* error) {
    size_t number = 0;
    auto fail = [&](const std::string& problem) {
        *error = number ? std::to_string(number) + ": " + problem : " " + problem;
        return false;
    };
    std::vector<std::string> words;
    size_t start = 0;
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
            manifest->site = words[1];
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
            manifest->directFrom.push_back(version);
        } else if (directive == "mandatory") {
            if (!wants(1, 2)) return fail("mandatory takes a path of the newest release and its flags");
            manifest->mandatory.push_back({Slashes(words[1]), Slashes(words[1]), count == 2 ? words[2] : "", number});
        } else if (directive == "engine") {
            if (!wants(1, 2)) return fail("engine takes a file and its name in the engine's directory");
            manifest->engine.push_back({words[1], count == 2 ? words[2] : LastPart(words[1]), "", number});
        } else if (directive == "module") {
            if (!wants(1, 2) || words[1].find(' ') != std::string::npos) return fail("module takes a name without blanks and a description");
            manifest->modules.push_back({words[1], count == 2 ? words[2] : "", {}});
        } else if (directive == "module-file") {
            if (manifest->modules.empty()) return fail("module-file before any module");
            if (!wants(2, 3)) return fail("module-file takes a file, its installed path and its flags");
            manifest->modules.back().files.push_back({words[1], Slashes(words[2]), count == 3 ? words[3] : "", number});
        } else {
            return fail("unknown directive \"" + directive + "\"");
        }
    }
    number = 0;
    if (manifest->site.empty()) return fail("no site");
    if (manifest->releases.empty()) return fail("no release");
    for (int32_t version : manifest->directFrom) {
        bool known = false;
        for (const ManifestRelease& release : manifest->releases) known = known || release.version == version;
        if (!known || version == manifest->releases.back().version) {
            return fail("direct " + std::to_string(version) + " names no older release");
        }
    }
    return true;
}
