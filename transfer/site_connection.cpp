#include "transfer/site_connection.h"

#include "transfer/site_address.h"

bool SiteConnection::Open(const std::string& site, const std::string& userName, const std::string& password) {
    // A failed open shows up at the connection, which reports the error.
    internet_.reset(InternetOpenA("Halvorin", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    const SiteAddress address = ParseSiteAddress(site);
    secure_ = address.secure;
    const ConnectCredentials credentials = CredentialsForConnect(userName, password);
    connection_.reset(InternetConnectA(internet_.get(), address.host.c_str(), address.port, credentials.userName,
                                       credentials.password, INTERNET_SERVICE_HTTP, 0, 0));
    return connection_.valid();
}
