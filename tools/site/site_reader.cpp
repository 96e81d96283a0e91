#include "tools/site/site_reader.h"

#include <cstdio>

#include "tools/makepatch/tool_io.h"

#ifdef _WIN32
#include "transfer/http_get.h"
#endif

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "%XX" read as the byte XX, as a web server reads it; a '%' without two hexadecimal
// digits after it stands for itself.
std::string Unescaped(const std::string& path) {
    std::string out;
    for (size_t i = 0; i < path.size(); ++i) {
        const int high = path[i] == '%' && i + 2 < path.size() ? HexValue(path[i + 1]) : -1;
        const int low = high >= 0 ? HexValue(path[i + 2]) : -1;
        if (low >= 0) {
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            out += path[i];
        }
    }
    return out;
}

// Whether a path, read as a server reads it, has a ".." part (either separator).
bool LeavesTheSite(const std::string& path) {
    const std::string plain = Unescaped(path);
    size_t start = 0;
    for (size_t i = 0; i <= plain.size(); ++i) {
        if (i == plain.size() || plain[i] == '/' || plain[i] == '\\') {
            if (plain.compare(start, i - start, "..") == 0 && i - start == 2) return true;
            start = i + 1;
        }
    }
    return false;
}

std::string ObjectPath(const std::string& path) { return path.empty() || path[0] != '/' ? "/" + path : path; }

#ifdef _WIN32
class BytesSink : public HttpSink {
public:
    explicit BytesSink(std::vector<uint8_t>* bytes) : bytes_(bytes) {}
    bool Begin(uint64_t* resumeAt) override {
        *resumeAt = 0;
        return true;
    }
    void Started(uint64_t) override {}
    size_t PieceSize() const override { return 65536; }
    Next Take(const char* data, size_t size) override {
        bytes_->insert(bytes_->end(), data, data + size);
        return Next::kGoOn;
    }
    bool ResumesCutAnswers() const override { return false; }
    void Resuming(uint64_t, uint64_t, unsigned) override {}

private:
    std::vector<uint8_t>* bytes_;
};

bool Fetch(const std::string& site, const std::string& path, std::vector<uint8_t>* bytes) {
    HttpTarget target;
    target.site = site;
    target.object = ObjectPath(path);
    target.bypassCache = true;
    BytesSink sink(bytes);
    HttpError error;
    return HttpGet(target, sink, &error);
}
#else
bool Fetch(const std::string& site, const std::string& path, std::vector<uint8_t>* bytes) {
    std::string url = site;
    if (!url.empty() && url.back() == '/') url.pop_back();
    url += ObjectPath(path);
    for (char c : url) {
        if (c == '\'') return false;  // the URL goes to the shell in single quotes
    }
    // --globoff: brackets and braces in a path are characters of the name, not patterns.
    FILE* pipe = popen(("curl -sS --fail --globoff --proto =http,https -o - '" + url + "'").c_str(), "r");
    if (!pipe) return false;
    bytes->clear();
    unsigned char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) bytes->insert(bytes->end(), buffer, buffer + n);
    return pclose(pipe) == 0;
}
#endif

}  // namespace

bool IsSiteAddress(const std::string& site) {
    auto startsWith = [&](const char* prefix) {
        const std::string p = prefix;
        if (site.size() < p.size()) return false;
        for (size_t i = 0; i < p.size(); ++i) {
            if (tolower(static_cast<unsigned char>(site[i])) != p[i]) return false;
        }
        return true;
    };
    return startsWith("http://") || startsWith("https://");
}

bool ReadSiteFile(const std::string& site, const std::string& path, std::vector<uint8_t>* bytes) {
    return ReadSiteFileChecked(site, path, bytes) == SiteRead::kRead;
}

SiteRead ReadSiteFileChecked(const std::string& site, const std::string& path, std::vector<uint8_t>* bytes) {
    if (LeavesTheSite(path)) return SiteRead::kOutside;
    if (IsSiteAddress(site)) return Fetch(site, path, bytes) ? SiteRead::kRead : SiteRead::kMissing;
    const std::string file = Unescaped(path);
    const bool read = ReadInputFile(site + (file.empty() || file[0] == '/' ? "" : "/") + file, bytes);
    return read ? SiteRead::kRead : SiteRead::kMissing;
}
