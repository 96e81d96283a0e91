// The site text of the image and the engine's url property: a host name, optionally
// followed by ":port" to reach a server that does not listen on the service's default port,
// and optionally preceded by "https://" for a secure site (TLS, port 443 unless given) or
// "http://" (the same as none). A text without a scheme is plain HTTP, as it always was.
#pragma once
#include <cstdint>
#include <string>

struct SiteAddress {
    bool secure = false;
    std::string host;
    uint16_t port = 0;  // 0: the service's default port (80); a secure site has 443 or its own
};

// After the scheme (any letter case) and without one '/' at the end: "host:port" (a colon
// followed by decimal digits at the end, port 1 to 65535) names that port; anything else
// is a host name on the default port, kept whole. A host part that
// itself holds a colon (a bare IPv6 literal) takes no port unless it is bracketed, as in
// "[::1]:8080".
SiteAddress ParseSiteAddress(const std::string& site);

// The user name and password in the form the connection takes them: an empty text is
// passed as none (null), each by itself, except the empty password that goes with a user
// name, which is passed as the empty text. WinInet documents both forms as "a blank
// password"; Wine's WinInet dereferences the null one when it answers a Basic challenge
// and crashes the process. The pointers refer into the caller's texts.
struct ConnectCredentials {
    const char* userName = nullptr;
    const char* password = nullptr;
};
ConnectCredentials CredentialsForConnect(const std::string& userName, const std::string& password);
