#include "tools/site/site_reader.h"

#include <cstdio>

#include "tools/makepatch/tool_io.h"

#ifdef _WIN32
#include "transfer/http_get.h"
#endif

namespace {

std::string Unescaped(const std::string& path) {
    std::string out;
    for (size_t i = 0; i < path.size(); ++i) {
        if (path[i] == '%' && i + 2 < path.size()) {
            out += static_cast<char>(std::stoi(path.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += path[i];
        }
    }
    return out;
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
    FILE* pipe = popen(("curl -sS --fail --proto =http,https -o - '" + url + "'").c_str(), "r");
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
    if (IsSiteAddress(site)) return Fetch(site, path, bytes);
    const std::string file = Unescaped(path);
    return ReadInputFile(site + (file.empty() || file[0] == '/' ? "" : "/") + file, bytes);
}
