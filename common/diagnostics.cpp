#include "common/diagnostics.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <utility>

Failure MakeFailure(std::string boxText, bool hasCode, unsigned code) {
    Failure failure;
    failure.hasCode = hasCode;
    failure.code = code;
    failure.boxText = std::move(boxText);
    return failure;
}

void ShowFailureBox(const Failure& failure) {
    char caption[32] = "Error";
    if (failure.hasCode) snprintf(caption, sizeof caption, "Error %u", failure.code);
    MessageBoxA(nullptr, failure.boxText.c_str(), caption, MB_ICONERROR);
    if (!failure.supportText.empty()) MessageBoxA(nullptr, failure.supportText.c_str(), "Error", MB_ICONINFORMATION);
}

void Diagnostics::WriteLog(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    log.WriteV(format, arguments);
    va_end(arguments);
}

bool Diagnostics::Report(const Failure& failure) {
    ShowFailureBox(failure);
    if (!failure.reportText.empty()) errorReport.Add(failure.reportText);
    // Written as data: a '%' that an argument brings stays as it is.
    if (!failure.logText.empty()) log.Write("%s", failure.logText.c_str());
    return false;
}
