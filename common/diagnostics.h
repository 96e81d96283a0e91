// The log and the error report of one engine context, and the one place that tells of a
// failure that the user must act on: its message box, its error report text and its log
// line. Callers describe the failure (Failure) and pass the description up to whoever
// holds the diagnostics; nothing else shows such a box.
#pragma once
#include <string>

#include "common/error_report.h"
#include "common/log_writer.h"

struct Failure {
    // Caption "Error %u" with the system or HTTP code, or "Error" when there is none.
    bool hasCode = false;
    unsigned code = 0;
    // Message text id of the box; the text is formatted with the two arguments.
    int textId = 0;
    std::string first;
    std::string second;
    // English texts formatted with the same two arguments; null: none.
    const char* reportFormat = nullptr;
    const char* logFormat = nullptr;
};

// A failure with a code in its caption.
Failure CodedFailure(unsigned code, int textId, std::string first, std::string second = std::string());

// Shows the box of the failure only (no owner window, MB_ICONERROR), for callers that
// keep no report; blocks until the user closes it.
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
