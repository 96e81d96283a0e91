#include "transfer/site_address.h"

#include <cctype>

namespace {

constexpr uint16_t kSecurePort = 443;

bool StartsWithNoCase(const std::string& text, const char* prefix) {
    size_t i = 0;
    for (; prefix[i] != '\0'; ++i) {
        if (i >= text.size() || tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
    }
    return true;
}

SiteAddress HostAndPort(const std::string& site);

}  // namespace

SiteAddress ParseSiteAddress(const std::string& text) {
    bool secure = false;
    std::string site = text;
    if (StartsWithNoCase(site, "https://")) {
        secure = true;
        site.erase(0, 8);
    } else if (StartsWithNoCase(site, "http://")) {
        site.erase(0, 7);
    } else {
        return HostAndPort(site);
    }
    if (!site.empty() && site.back() == '/') site.pop_back();
    SiteAddress address = HostAndPort(site);
    address.secure = secure;
    if (secure && address.port == 0) address.port = kSecurePort;
    return address;
}

namespace {

SiteAddress HostAndPort(const std::string& site) {
    SiteAddress address;
    address.host = site;
    const size_t colon = site.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == site.size()) return address;
    uint32_t port = 0;
    for (size_t i = colon + 1; i < site.size(); ++i) {
        const char c = site[i];
        if (c < '0' || c > '9') return address;
        port = port * 10 + static_cast<uint32_t>(c - '0');
        if (port > 65535) return address;  // also stops the sum from growing on long digit runs
    }
    if (port == 0) return address;
    const std::string host = site.substr(0, colon);
    const bool bracketed = host.size() > 2 && host.front() == '[' && host.back() == ']';
    if (!bracketed && host.find(':') != std::string::npos) return address;
    address.host = host;
    address.port = static_cast<uint16_t>(port);
    return address;
}

}  // namespace

ConnectCredentials CredentialsForConnect(const std::string& userName, const std::string& password) {
    ConnectCredentials credentials;
    if (!userName.empty()) credentials.userName = userName.c_str();
    if (!password.empty() || !userName.empty()) credentials.password = password.c_str();
    return credentials;
}
