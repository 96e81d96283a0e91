// The WinInet session and HTTP connection to an update site, shared by the image fetch
// and the file download.
#pragma once
#include <string>

#include "common/win_handles.h"

// Agent "Halvorin", the system's proxy settings; the site text may name a port
// ("host:port"); empty credentials are passed as none. Closes the connection, then the
// session.
class SiteConnection {
public:
    // False when the connection cannot be made; GetLastError tells why.
    bool Open(const std::string& site, const std::string& userName, const std::string& password);
    HINTERNET get() const { return connection_.get(); }

private:
    InternetHandle internet_;    // declared first: closed last
    InternetHandle connection_;
};
