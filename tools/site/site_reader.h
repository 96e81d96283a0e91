// The files of a site that halvorin-site check reads: from a directory, or fetched from
// the site itself ("http://host", "https://host[:port]"), as the engine would get them.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// True when site names a web site rather than a directory.
bool IsSiteAddress(const std::string& site);

// The file at path (an object path, "%XX" escapes allowed) of the site. A web site is
// fetched over HTTP or HTTPS; a certificate that cannot be trusted fails the read. On
// Windows the engine's own transfer is used, elsewhere curl (CURL_CA_BUNDLE names extra
// trusted roots).
bool ReadSiteFile(const std::string& site, const std::string& path, std::vector<uint8_t>* bytes);

enum class SiteRead { kRead, kMissing, kOutside };

// ReadSiteFile, telling a path that would leave the site (a ".." part, once the escapes
// are read; a bad escape is taken as it stands) from a file that is missing.
SiteRead ReadSiteFileChecked(const std::string& site, const std::string& path, std::vector<uint8_t>* bytes);
