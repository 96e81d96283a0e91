// The log and the error report of one engine context, and the one place that tells of a
// failure that the user must act on: its message box, its error report text and its log
// line. Callers describe the failure (Failure) and pass the description up to whoever
// holds the diagnostics; nothing else shows such a box.
#pragma once
#include <string>

#include "common/critical_section.h"
#include "common/error_report.h"
#include "common/log_writer.h"
#include "common/text_format.h"

struct Failure {
    // Caption "Error %u" with the system or HTTP code, or "Error" when there is none.
    bool hasCode = false;
    unsigned code = 0;
    std::string boxText;     // a message text, formatted (FormatMessageText)
    std::string reportText;  // English, for the error report; empty: none
    std::string logText;     // for the log; empty: none
    // When not empty, a second box follows with the caption "Error" and the information
    // icon: what the user should send to the support.
    std::string supportText;
};

// A failure with this box text, and a code in its caption when hasCode.
Failure MakeFailure(std::string boxText, bool hasCode = false, unsigned code = 0);

// Shows the box (or boxes) of the failure only (no owner window, MB_ICONERROR), for
// callers that keep no report; blocks until the user has closed them.
void ShowFailureBox(const Failure& failure);

// The text of the last failure of one operation, which its threads (the call's own, and
// the expansions it starts) report into.
class FailureText {
public:
    void Set(const std::string& text) {
        ScopedLock guard(lock_);
        text_ = text;
    }
    std::string Get() {
        ScopedLock guard(lock_);
        return text_;
    }

private:
    CriticalSection lock_;
    std::string text_;
};

// What the operation that runs on this thread wants of its failures: whether their boxes
// show, and where the last one's text goes (for a client that asks why it failed). Scopes
// nest; the innermost is in force until it ends. Without one, boxes show.
class FailureScope {
public:
    // lastFailure (may be null) receives the report text of every failure reported while
    // the scope is in force on this thread.
    FailureScope(bool silent, FailureText* lastFailure);
    ~FailureScope();
    FailureScope(const FailureScope&) = delete;
    FailureScope& operator=(const FailureScope&) = delete;

    // Whether the scope in force on this thread keeps boxes away, and where its failures'
    // texts go: for work it hands to another thread, which opens a scope of its own.
    static bool Silent();
    static FailureText* LastFailure();

private:
    bool silent_;
    FailureText* lastFailure_;
    FailureScope* outer_;
    friend class Diagnostics;
};

class Diagnostics {
public:
    LogWriter log;
    ErrorReport errorReport;

    void WriteLog(const char* format, ...) HALVORIN_PRINTF(2, 3);

    // Shows the box (unless the failure scope on this thread is silent), adds the report
    // text, writes the log line and gives the scope its text. Always false, so that a
    // failing operation can end with `return Report(...)`.
    bool Report(const Failure& failure);
};
