// The WinInet session and HTTP connection to an update site, shared by the image fetch
// and the file download.
#pragma once
#include <string>

#include "common/win_handles.h"

// Agent "Halvorin", the system's proxy settings; the site text may name a port
// ("host:port") and a secure site ("https://host"); empty credentials are passed as none.
// Closes the connection, then the session.
class SiteConnection {
public:
    // False when the connection cannot be made; GetLastError tells why.
    bool Open(const std::string& site, const std::string& userName, const std::string& password);
    HINTERNET get() const { return connection_.get(); }
    // A secure site: its requests go over TLS and must stay there.
    bool secure() const { return secure_; }

private:
    InternetHandle internet_;    // declared first: closed last
    InternetHandle connection_;
    bool secure_ = false;
};
