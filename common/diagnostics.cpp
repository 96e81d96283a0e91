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

namespace {

thread_local FailureScope* currentScope = nullptr;

}  // namespace

FailureScope::FailureScope(bool silent, FailureText* lastFailure)
    : silent_(silent), lastFailure_(lastFailure), outer_(currentScope) {
    currentScope = this;
}

FailureScope::~FailureScope() { currentScope = outer_; }

bool FailureScope::Silent() { return currentScope != nullptr && currentScope->silent_; }

FailureText* FailureScope::LastFailure() { return currentScope ? currentScope->lastFailure_ : nullptr; }

bool Diagnostics::Report(const Failure& failure) {
    if (!FailureScope::Silent()) ShowFailureBox(failure);
    if (FailureText* last = FailureScope::LastFailure()) {
        last->Set(failure.reportText.empty() ? failure.boxText : failure.reportText);
    }
    if (!failure.reportText.empty()) errorReport.Add(failure.reportText);
    // Written as data: a '%' that an argument brings stays as it is.
    if (!failure.logText.empty()) log.Write("%s", failure.logText.c_str());
    return false;
}
