// WinInet under Wine against faulty_http.py, called as the engine calls it: the server's
// rules and request log seen from a Windows program through http_control.h. Run by
// with_http_server.sh, which names the server and its directories in the environment.
#include <windows.h>
#include <wininet.h>

#include <gtest/gtest.h>

#include <string>

#include "common/win_handles.h"
#include "tests/support/http_control.h"

namespace {

struct Fetch {
    std::string path;
    std::string user;
    std::string password;
    std::string referer;
    DWORD flags = 0;
    LONG resumeAt = -1;  // InternetSetFilePointer after the status, as the engine resumes
};

struct Result {
    bool sent = false;
    DWORD status = 0;
    LONG resumedAt = -2;  // what InternetSetFilePointer answered
    std::string body;
    bool readFailed = false;
};

Result Get(HINTERNET session, const Fetch& f) {
    Result r;
    InternetHandle connection(InternetConnectA(session, httpcontrol::ServerAddress().c_str(),
                                               INTERNET_INVALID_PORT_NUMBER,
                                               f.user.empty() ? nullptr : f.user.c_str(),
                                               f.password.empty() ? nullptr : f.password.c_str(),
                                               INTERNET_SERVICE_HTTP, 0, 0));
    if (!connection) return r;
    const char* accept[] = {"*", nullptr};
    InternetHandle request(HttpOpenRequestA(connection.get(), "GET", f.path.c_str(), nullptr,
                                            f.referer.empty() ? nullptr : f.referer.c_str(), accept, f.flags, 0));
    if (!request) return r;
    r.sent = HttpSendRequestA(request.get(), nullptr, 0, nullptr, 0) != FALSE;
    if (!r.sent) return r;
    DWORD size = sizeof r.status;
    HttpQueryInfoA(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &r.status, &size, nullptr);
    if (f.resumeAt >= 0) r.resumedAt = static_cast<LONG>(InternetSetFilePointer(request.get(), f.resumeAt, nullptr, FILE_BEGIN, 0));
    char buffer[16384];
    for (;;) {
        DWORD n = 0;
        if (!InternetReadFile(request.get(), buffer, sizeof buffer, &n)) {
            r.readFailed = true;
            break;
        }
        if (n == 0) break;
        r.body.append(buffer, n);
    }
    return r;
}

class WinInetAgainstServer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        data_ = std::string(100000, '\0');
        unsigned x = 12345;
        for (char& c : data_) {
            x = x * 1103515245u + 12345u;
            c = static_cast<char>(x >> 16);
        }
        ASSERT_TRUE(httpcontrol::WriteWholeFile(httpcontrol::RootDir() + "big.bin", data_));
    }
    void SetUp() override {
        ASSERT_FALSE(httpcontrol::ControlDir().empty()) << "run through with_http_server.sh";
        ASSERT_TRUE(httpcontrol::ClearRules());
        ASSERT_TRUE(httpcontrol::ClearRequestLog());
        session_.reset(InternetOpenA("Halvorin", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
        ASSERT_TRUE(session_);
    }
    static std::string data_;
    InternetHandle session_;
};

std::string WinInetAgainstServer::data_;

constexpr DWORD kImageFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE;

TEST_F(WinInetAgainstServer, PlainGetAndRequestLog) {
    Result r = Get(session_.get(), {"/big.bin", "", "", "http://referer.example/page", kImageFlags});
    ASSERT_TRUE(r.sent);
    EXPECT_EQ(r.status, 200u);
    EXPECT_TRUE(r.body == data_);
    auto log = httpcontrol::ReadRequestLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].method, "GET");
    EXPECT_EQ(log[0].path, "/big.bin");
    EXPECT_EQ(log[0].userAgent, "Halvorin");
    EXPECT_EQ(log[0].referer, "http://referer.example/page");
    EXPECT_EQ(log[0].status, 200);
    EXPECT_EQ(log[0].bytesSent, 100000);
    EXPECT_EQ(log[0].authorization, "");
}

// Wine 8's InternetSetFilePointer is a stub that answers -1, so a resume through it
// reads the whole answer from its start; this pins that, so that a Wine that starts
// resuming shows here first. A Range header that the client sends itself does get 206.
TEST_F(WinInetAgainstServer, ResumeUnderThisWine) {
    Result r = Get(session_.get(), {"/big.bin", "", "", "", 0, 16384});
    ASSERT_TRUE(r.sent);
    EXPECT_EQ(r.resumedAt, -1);
    EXPECT_TRUE(r.body == data_) << r.body.size();
    auto log = httpcontrol::ReadRequestLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].range, "");

    InternetHandle connection(InternetConnectA(session_.get(), httpcontrol::ServerAddress().c_str(),
                                               INTERNET_INVALID_PORT_NUMBER, nullptr, nullptr,
                                               INTERNET_SERVICE_HTTP, 0, 0));
    const char* accept[] = {"*", nullptr};
    InternetHandle request(HttpOpenRequestA(connection.get(), "GET", "/big.bin", nullptr, nullptr, accept,
                                            kImageFlags, 0));
    const char range[] = "Range: bytes=16384-\r\n";
    ASSERT_TRUE(HttpSendRequestA(request.get(), range, static_cast<DWORD>(sizeof range - 1), nullptr, 0));
    DWORD status = 0, size = sizeof status;
    HttpQueryInfoA(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr);
    EXPECT_EQ(status, 206u);
    std::string body;
    char buffer[16384];
    DWORD n = 0;
    while (InternetReadFile(request.get(), buffer, sizeof buffer, &n) && n > 0) body.append(buffer, n);
    EXPECT_TRUE(body == data_.substr(16384)) << body.size();
    log = httpcontrol::ReadRequestLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1].range, "bytes=16384-");
    EXPECT_EQ(log[1].status, 206);
}

TEST_F(WinInetAgainstServer, CredentialsAreSentAfterTheChallenge) {
    ASSERT_TRUE(httpcontrol::WriteRules(R"({"auth": {"user": "u", "password": "p w"}})"));
    Result without = Get(session_.get(), {"/big.bin", "", "", "", kImageFlags});
    EXPECT_EQ(without.status, 401u);
    Result wrong = Get(session_.get(), {"/big.bin", "u", "bad", "", kImageFlags});
    EXPECT_EQ(wrong.status, 401u);
    Result right = Get(session_.get(), {"/big.bin", "u", "p w", "", kImageFlags});
    EXPECT_EQ(right.status, 200u);
    EXPECT_TRUE(right.body == data_);
    auto log = httpcontrol::ReadRequestLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().authorization, "u:p w");
    EXPECT_EQ(log.back().status, 200);
    bool wrongSeen = false;
    for (const auto& entry : log) wrongSeen |= entry.authorization == "u:bad" && entry.status == 401;
    EXPECT_TRUE(wrongSeen);
}

TEST_F(WinInetAgainstServer, StatusRuleAndCutConnection) {
    ASSERT_TRUE(httpcontrol::WriteRules(
        R"({"paths": {"/missing.bin": {"status": 404}, "/big.bin": {"cut_after": 16384, "times": 1}}})"));
    EXPECT_EQ(Get(session_.get(), {"/missing.bin", "", "", "", kImageFlags}).status, 404u);
    // A connection that breaks ends the reads early: exactly the bytes sent arrive.
    Result cut = Get(session_.get(), {"/big.bin", "", "", "", kImageFlags});
    EXPECT_EQ(cut.status, 200u);
    EXPECT_EQ(cut.body.size(), 16384u);
    EXPECT_TRUE(cut.body == data_.substr(0, 16384));
    Result whole = Get(session_.get(), {"/big.bin", "", "", "", kImageFlags});
    EXPECT_TRUE(whole.body == data_);
    auto log = httpcontrol::ReadRequestLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_TRUE(log[1].cut);
    EXPECT_EQ(log[1].bytesSent, 16384);
    EXPECT_FALSE(log[2].cut);
}

TEST_F(WinInetAgainstServer, ConnectionsAreKeptAlive) {
    for (int i = 0; i < 3; ++i) {
        Result r = Get(session_.get(), {"/big.bin", "", "", "", kImageFlags});
        EXPECT_EQ(r.status, 200u);
    }
    auto log = httpcontrol::ReadRequestLog();
    ASSERT_EQ(log.size(), 3u);
    // One connection carried all three (WinInet keeps it across sessions of the process).
    EXPECT_EQ(log[0].conn, log[2].conn);
    EXPECT_EQ(log[1].seq, log[0].seq + 1);
    EXPECT_EQ(log[2].seq, log[0].seq + 2);
}

// The download's flags allow the cache; Wine still asks the server every time, so a
// test's second download of a file is seen by the server.
TEST_F(WinInetAgainstServer, CacheAllowedStillReachesTheServer) {
    for (int i = 0; i < 2; ++i) {
        Result r = Get(session_.get(), {"/big.bin", "", "", "", 0});
        EXPECT_EQ(r.status, 200u);
        EXPECT_TRUE(r.body == data_);
    }
    EXPECT_EQ(httpcontrol::ReadRequestLog().size(), 2u);
}

}  // namespace
