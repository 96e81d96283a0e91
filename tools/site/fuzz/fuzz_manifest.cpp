// Fuzz target for the publisher's manifest: the reader takes any text without faulting,
// and every path pattern it accepts matches in time bounded by the lengths of pattern and
// path (the input's last line, when it holds a blank, is a pattern and a path to match).
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tools/site/manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    Manifest manifest;
    std::string error;
    if (ParseManifest(text, &manifest, &error)) {
        if (manifest.releases.empty() || manifest.site.empty() || !IsSiteText(manifest.site)) abort();
        for (const ManifestFile& file : manifest.mandatory) MatchPathPattern(file.source, file.source);
    } else if (error.empty()) {
        abort();  // a refusal always says why
    }
    const size_t lastLine = text.rfind('\n');
    const std::string last = text.substr(lastLine == std::string::npos ? 0 : lastLine + 1);
    const size_t blank = last.find(' ');
    if (blank != std::string::npos) MatchPathPattern(last.substr(0, blank), last.substr(blank + 1));
    return 0;
}
