// The one HTTP GET of the engine: the image fetch and every file download go through it.
// It makes the connection, opens and sends the request, checks the status, continues the
// answer at an offset when the sink asks, reads it piece by piece into the sink, and,
// for a sink that allows it, resumes an answer whose connection broke before its declared
// length. What the bytes become (text in memory, a file with progress) is the sink's.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

struct HttpTarget {
    std::string site;  // "host" or "host:port"
    std::string userName;
    std::string password;
    std::string object;   // path of the file on the site
    std::string referer;  // empty: none is sent
    // Always from the server and never into the platform's cache (the image); otherwise
    // the platform's cache may answer.
    bool bypassCache = false;
};

// Where the bytes of an answer go. Called on the caller's thread, in this order: Begin
// once, Started once, then Take for every piece, Resuming before each resumption.
class HttpSink {
public:
    enum class Next { kGoOn, kEnough, kStop };

    virtual ~HttpSink() = default;
    // The offset at which Begin will most likely ask the answer to continue (a partial file
    // is there), or 0. The first request then asks for the rest from there at once: a whole
    // answer that the rest replaces would have to be read to its end when it is closed,
    // gigabytes perhaps, before its connection could serve the second request.
    virtual uint64_t ResumeHint() const { return 0; }
    // The answer is accepted (status 200) and nothing of it is read yet. Sets *resumeAt to
    // the offset at which the sink wants the answer to continue (0: from its start).
    // False stops the transfer (the sink keeps the reason).
    virtual bool Begin(uint64_t* resumeAt) = 0;
    // The answer goes on at position: the offset asked for, or 0 when the server cannot
    // continue it there and the answer comes from its start.
    virtual void Started(uint64_t position) = 0;
    // How many bytes the next read may bring (at least 1).
    virtual size_t PieceSize() const = 0;
    // One piece; kEnough ends the transfer as complete, kStop ends it as failed.
    virtual Next Take(const char* data, size_t size) = 0;
    // Whether an answer cut short of its declared length is asked for again from where it
    // broke (a file), or ends the transfer as failed (the image).
    virtual bool ResumesCutAnswers() const = 0;
    // The connection broke at position of total bytes; attempt 1 to kCutResumeAttempts.
    virtual void Resuming(uint64_t position, uint64_t total, unsigned attempt) = 0;
    // An answer that declared no length ended normally at position: whether that can be
    // the whole object (a file of known size that came short cannot).
    virtual bool EndsWithoutLength(uint64_t position) const {
        (void)position;
        return true;
    }
};

// Resumptions of a cut answer, at most, in one transfer.
constexpr unsigned kCutResumeAttempts = 3;

enum class HttpStep {
    kNone,
    kConnect,      // the connection to the site could not be made
    kOpenRequest,  // the request could not be opened
    kSendRequest,  // the request could not be sent (no answer)
    kStatus,       // the answer's status is not 200; code: the status
    kSink,         // the sink stopped the transfer
    kCut,          // the answer stayed shorter than it declared
    kCertificate,  // a secure site's certificate was refused (not trusted, expired, another name)
    kInsecure,     // a secure site's answer came from a plain address (a redirect to http)
};

struct HttpError {
    HttpStep step = HttpStep::kNone;
    unsigned code = 0;  // the system's error code, or the HTTP status for kStatus
};

// True when the whole answer went into the sink (or the sink had enough). False with
// *error telling which step failed: a read that fails is a failure also for an answer
// without a declared length. Every handle is closed before it returns.
bool HttpGet(const HttpTarget& target, HttpSink& sink, HttpError* error);
