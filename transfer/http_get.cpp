#include "transfer/http_get.h"

#include <windows.h>
#include <wininet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/win_handles.h"
#include "transfer/site_connection.h"

namespace {

// A position this far or further cannot be passed to the platform's continuation, whose
// distance is a signed 32-bit number; such answers are continued by a Range request.
constexpr uint64_t kPlatformSeekLimit = 0x80000000u;

// The answer being read, with what it declared about its length.
struct Answer {
    InternetHandle request;
    bool lengthKnown = false;
    uint64_t end = 0;  // the declared end of the data, as a file offset
};

const char* TextOrNone(const std::string& text) { return text.empty() ? nullptr : text.c_str(); }

bool ParseNumber(const char* text, uint64_t* value) {
    if (*text < '0' || *text > '9') return false;
    char* end = nullptr;
    *value = strtoull(text, &end, 10);
    return end != text;
}

DWORD QueryStatus(HINTERNET request) {
    DWORD status = 0;
    DWORD size = sizeof status;
    HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr);
    return status;
}

bool QueryContentLength(HINTERNET request, uint64_t* length) {
    char text[32] = "";
    DWORD size = sizeof text;
    return HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH, text, &size, nullptr) && ParseNumber(text, length);
}

// "bytes FIRST-LAST/TOTAL" of a 206 answer; *total is FIRST + Content-Length when the
// total is "*".
bool QueryContentRange(HINTERNET request, uint64_t* first, uint64_t* total) {
    char text[128] = "";
    DWORD size = sizeof text;
    if (!HttpQueryInfoA(request, HTTP_QUERY_CONTENT_RANGE, text, &size, nullptr)) return false;
    if (strncmp(text, "bytes ", 6) != 0 || !ParseNumber(text + 6, first)) return false;
    const char* slash = strchr(text, '/');
    if (slash && ParseNumber(slash + 1, total)) return true;
    uint64_t length = 0;
    if (!QueryContentLength(request, &length)) return false;
    *total = *first + length;
    return true;
}

InternetHandle OpenRequest(const SiteConnection& connection, const HttpTarget& target) {
    const char* acceptTypes[] = {"*", nullptr};
    DWORD flags = target.bypassCache ? INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE : 0;
    if (connection.secure()) flags |= INTERNET_FLAG_SECURE;
    return InternetHandle(HttpOpenRequestA(connection.get(), "GET", target.object.c_str(), nullptr,
                                           TextOrNone(target.referer), acceptTypes, flags, 0));
}

// The errors with which the platform refuses a secure site's certificate.
bool IsCertificateError(DWORD error) {
    switch (error) {
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
    case ERROR_INTERNET_SEC_CERT_CN_INVALID:
    case ERROR_INTERNET_INVALID_CA:
    case ERROR_INTERNET_SEC_CERT_ERRORS:
    case ERROR_INTERNET_SEC_CERT_NO_REV:
    case ERROR_INTERNET_SEC_CERT_REV_FAILED:
    case ERROR_INTERNET_SECURITY_CHANNEL_ERROR:
    case ERROR_INTERNET_SEC_INVALID_CERT:
    case ERROR_INTERNET_SEC_CERT_REVOKED:
        return true;
    default:
        return false;
    }
}

// Sends the request; on a secure site the answer must come from a secure address too: the
// platform follows a redirect to plain HTTP without a word, and bytes that travelled in the
// clear could have been changed on the way.
bool Send(const SiteConnection& connection, HINTERNET request, const char* headers, HttpError* error) {
    if (!HttpSendRequestA(request, headers, headers ? static_cast<DWORD>(strlen(headers)) : 0, nullptr, 0)) {
        const DWORD code = GetLastError();
        error->step = IsCertificateError(code) ? HttpStep::kCertificate : HttpStep::kSendRequest;
        error->code = code;
        return false;
    }
    if (!connection.secure()) return true;
    char url[INTERNET_MAX_URL_LENGTH] = "";
    DWORD size = sizeof url;
    if (InternetQueryOptionA(request, INTERNET_OPTION_URL, url, &size) && _strnicmp(url, "https://", 8) == 0) return true;
    error->step = HttpStep::kInsecure;
    error->code = ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR;
    return false;
}

// A second request for the rest of the object from offset. True when the server answered
// 206 with exactly that rest; the answer then takes its place.
bool RequestRest(const SiteConnection& connection, const HttpTarget& target, uint64_t offset, Answer* answer,
                 DWORD* error) {
    InternetHandle ranged = OpenRequest(connection, target);
    char header[64];
    snprintf(header, sizeof header, "Range: bytes=%llu-\r\n", static_cast<unsigned long long>(offset));
    HttpError sent;
    if (!ranged || !Send(connection, ranged.get(), header, &sent)) {
        *error = ranged ? sent.code : GetLastError();
        return false;
    }
    uint64_t first = 0;
    uint64_t total = 0;
    if (QueryStatus(ranged.get()) != 206 || !QueryContentRange(ranged.get(), &first, &total) || first != offset) {
        *error = ERROR_INTERNET_INVALID_OPERATION;  // the server cannot give the rest
        return false;
    }
    answer->request = std::move(ranged);  // closes the answer it replaces
    answer->lengthKnown = true;
    answer->end = total;
    return true;
}

// Asks for the answer to go on at offset; returns the position it goes on at, or 0 when
// it comes from its start. The platform's own continuation comes first; Wine's WinInet
// always refuses it, and it cannot reach 2 GiB, so then the rest is asked of the server
// directly. Anything else counts as a refusal and the first answer is read from its start.
uint64_t ContinueAt(const SiteConnection& connection, const HttpTarget& target, uint64_t offset, Answer* answer) {
    if (offset < kPlatformSeekLimit) {
        const DWORD position =
            InternetSetFilePointer(answer->request.get(), static_cast<LONG>(offset), nullptr, FILE_BEGIN, 0);
        if (position != INVALID_SET_FILE_POINTER) return position;
    }
    DWORD ignored = 0;
    return RequestRest(connection, target, offset, answer, &ignored) ? offset : 0;
}

}  // namespace

bool HttpGet(const HttpTarget& target, HttpSink& sink, HttpError* error) {
    auto fail = [error](HttpStep step, unsigned code) {
        error->step = step;
        error->code = code;
        return false;
    };
    // Declared in the reverse of the closing order: request, connection, internet.
    SiteConnection connection;
    if (!connection.Open(target.site, target.userName, target.password)) return fail(HttpStep::kConnect, GetLastError());
    Answer answer;
    uint64_t hint = sink.ResumeHint();
    uint64_t rangedFrom = 0;  // where the answer starts when it is the rest of the object
    DWORD status = 0;
    for (;;) {
        answer.request = OpenRequest(connection, target);
        if (!answer.request) return fail(HttpStep::kOpenRequest, GetLastError());
        char range[64] = "";
        if (hint != 0) snprintf(range, sizeof range, "Range: bytes=%llu-\r\n", static_cast<unsigned long long>(hint));
        if (!Send(connection, answer.request.get(), hint != 0 ? range : nullptr, error)) return false;
        status = QueryStatus(answer.request.get());
        uint64_t first = 0;
        if (hint != 0 && status == 206 && QueryContentRange(answer.request.get(), &first, &answer.end) && first == hint) {
            answer.lengthKnown = true;
            rangedFrom = hint;
            break;
        }
        // A server without that rest (the partial file is longer than the object): the whole.
        if (hint != 0 && (status == 416 || status == 206)) {
            hint = 0;
            continue;
        }
        break;
    }
    if (rangedFrom == 0) {
        if (status != 200) return fail(HttpStep::kStatus, status);
        answer.lengthKnown = QueryContentLength(answer.request.get(), &answer.end);
    }

    uint64_t resumeAt = 0;
    if (!sink.Begin(&resumeAt)) return fail(HttpStep::kSink, 0);
    uint64_t received = 0;
    if (rangedFrom != 0 && resumeAt != rangedFrom) {
        // The sink starts elsewhere after all: the whole object after all, or the rest from there.
        answer.request = OpenRequest(connection, target);
        if (!answer.request) return fail(HttpStep::kOpenRequest, GetLastError());
        if (!Send(connection, answer.request.get(), nullptr, error)) return false;
        status = QueryStatus(answer.request.get());
        if (status != 200) return fail(HttpStep::kStatus, status);
        answer.lengthKnown = QueryContentLength(answer.request.get(), &answer.end);
        received = resumeAt != 0 ? ContinueAt(connection, target, resumeAt, &answer) : 0;
    } else if (rangedFrom != 0) {
        received = rangedFrom;
    } else if (resumeAt != 0 && hint == 0) {
        received = ContinueAt(connection, target, resumeAt, &answer);
    }
    // A server that answered the range with the whole object cannot continue it: the
    // answer comes from its start (received 0).
    sink.Started(received);

    std::vector<char> piece;
    unsigned resumptions = 0;
    for (;;) {
        piece.resize(sink.PieceSize());
        DWORD n = 0;
        const BOOL read = InternetReadFile(answer.request.get(), piece.data(), static_cast<DWORD>(piece.size()), &n);
        const DWORD readError = read ? ERROR_SUCCESS : GetLastError();
        if (read && n > 0) {
            received += n;
            const HttpSink::Next next = sink.Take(piece.data(), n);
            if (next == HttpSink::Next::kStop) return fail(HttpStep::kSink, 0);
            if (next == HttpSink::Next::kEnough) return true;
            continue;
        }
        // The end of the data, or a read that failed. An answer without a declared length
        // cannot be asked for again from where it stopped: a failed read ends it as failed,
        // a normal end is as complete as the sink can tell.
        if (!answer.lengthKnown) {
            if (!read) return fail(HttpStep::kCut, readError);
            return sink.EndsWithoutLength(received) ? true : fail(HttpStep::kCut, ERROR_INTERNET_CONNECTION_ABORTED);
        }
        if (received >= answer.end) return true;
        // A connection closed early reads as an end without an error of its own.
        DWORD cause = readError != ERROR_SUCCESS ? readError : ERROR_INTERNET_CONNECTION_ABORTED;
        if (!sink.ResumesCutAnswers()) return fail(HttpStep::kCut, cause);
        // Each attempt asks again from where the data stopped; a refused attempt counts too.
        bool resumed = false;
        while (!resumed && resumptions < kCutResumeAttempts) {
            ++resumptions;
            sink.Resuming(received, answer.end, resumptions);
            resumed = RequestRest(connection, target, received, &answer, &cause);
        }
        if (!resumed) return fail(HttpStep::kCut, cause);
    }
}
