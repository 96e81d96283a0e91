// Site texts with and without a port.
#include <gtest/gtest.h>

#include "transfer/site_address.h"

namespace {

void ExpectSite(const std::string& site, const std::string& host, uint16_t port) {
    const SiteAddress address = ParseSiteAddress(site);
    EXPECT_EQ(host, address.host) << site;
    EXPECT_EQ(port, address.port) << site;
}

}  // namespace

TEST(ParseSiteAddress, PortAtTheEndIsTaken) {
    ExpectSite("updates.example.com", "updates.example.com", 0);
    ExpectSite("updates.example.com:8080", "updates.example.com", 8080);
    ExpectSite("127.0.0.73:8073", "127.0.0.73", 8073);
    ExpectSite("host:1", "host", 1);
    ExpectSite("host:65535", "host", 65535);
    ExpectSite("host:0080", "host", 80);
    ExpectSite("[::1]:8080", "[::1]", 8080);
}

TEST(ParseSiteAddress, AnythingElseStaysTheHostOnTheDefaultPort) {
    ExpectSite("", "", 0);
    ExpectSite("host:", "host:", 0);
    ExpectSite(":80", ":80", 0);
    ExpectSite("host:0", "host:0", 0);
    ExpectSite("host:65536", "host:65536", 0);
    ExpectSite("host:99999999999999999999", "host:99999999999999999999", 0);
    ExpectSite("host:80a", "host:80a", 0);
    ExpectSite("host:-80", "host:-80", 0);
    ExpectSite("host: 80", "host: 80", 0);
    ExpectSite("::1", "::1", 0);
    ExpectSite("fe80::1:80", "fe80::1:80", 0);
    ExpectSite("[::1]", "[::1]", 0);
}

TEST(ParseSiteAddress, SchemesNameSecureAndPlainSites) {
    for (const char* site : {"https://updates.example.com", "HTTPS://updates.example.com/", "https://updates.example.com:443"}) {
        const SiteAddress address = ParseSiteAddress(site);
        EXPECT_TRUE(address.secure) << site;
        EXPECT_EQ("updates.example.com", address.host) << site;
        EXPECT_EQ(443, address.port) << site;
    }
    const SiteAddress other = ParseSiteAddress("https://127.0.0.86:8443");
    EXPECT_TRUE(other.secure);
    EXPECT_EQ(8443, other.port);
    const SiteAddress plain = ParseSiteAddress("http://host:8080/");
    EXPECT_FALSE(plain.secure);
    EXPECT_EQ("host", plain.host);
    EXPECT_EQ(8080, plain.port);
    EXPECT_FALSE(ParseSiteAddress("host:8080").secure);
    EXPECT_FALSE(ParseSiteAddress("httpsd://host").secure);
}

TEST(CredentialsForConnect, EmptyTextsAreNoneEachByItself) {
    const std::string user = "u";
    const std::string password = "p w";
    const std::string empty;
    ConnectCredentials c = CredentialsForConnect(user, password);
    EXPECT_EQ(user.c_str(), c.userName);
    EXPECT_EQ(password.c_str(), c.password);
    c = CredentialsForConnect(empty, empty);
    EXPECT_EQ(nullptr, c.userName);
    EXPECT_EQ(nullptr, c.password);
    c = CredentialsForConnect(empty, password);
    EXPECT_EQ(nullptr, c.userName);
    EXPECT_EQ(password.c_str(), c.password);
    // A user name without a password goes with the empty text (a blank password).
    c = CredentialsForConnect(user, empty);
    EXPECT_EQ(user.c_str(), c.userName);
    ASSERT_NE(nullptr, c.password);
    EXPECT_STREQ("", c.password);
}
