// The log and the error report of one engine context, and the one place that tells of a
// failure that the user must act on: its message box, its error report text and its log
// line. Callers describe the failure (Failure) and pass the description up to whoever
// holds the diagnostics; nothing else shows such a box.
#pragma once
#include <string>

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

class Diagnostics {
public:
    LogWriter log;
    ErrorReport errorReport;

    void WriteLog(const char* format, ...) HALVORIN_PRINTF(2, 3);

    // Shows the box, adds the report text and writes the log line. Always false, so that
    // a failing operation can end with `return Report(...)`.
    bool Report(const Failure& failure);
};
