#include "common/diagnostics.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>

#include "common/message_texts.h"

namespace {

// The report and log formats hold at most two "%s", filled in order; a format that uses
// fewer simply ignores the rest.
std::string FormatTwo(const char* format, const std::string& first, const std::string& second) {
    const int length = snprintf(nullptr, 0, format, first.c_str(), second.c_str());
    if (length <= 0) return std::string();
    std::string text(static_cast<size_t>(length) + 1, '\0');
    snprintf(&text[0], text.size(), format, first.c_str(), second.c_str());
    text.resize(static_cast<size_t>(length));
    return text;
}

}  // namespace

Failure CodedFailure(unsigned code, int textId, std::string first, std::string second) {
    Failure failure;
    failure.hasCode = true;
    failure.code = code;
    failure.textId = textId;
    failure.first = std::move(first);
    failure.second = std::move(second);
    return failure;
}

void ShowFailureBox(const Failure& failure) {
    char caption[32] = "Error";
    if (failure.hasCode) snprintf(caption, sizeof caption, "Error %u", failure.code);
    const std::string text = FormatMessageText(failure.textId, failure.first.c_str(), failure.second.c_str());
    MessageBoxA(nullptr, text.c_str(), caption, MB_ICONERROR);
}

void Diagnostics::WriteLog(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    log.WriteV(format, arguments);
    va_end(arguments);
}

bool Diagnostics::Report(const Failure& failure) {
    ShowFailureBox(failure);
    if (failure.reportFormat) errorReport.Add(FormatTwo(failure.reportFormat, failure.first, failure.second));
    // Written as data: a '%' that an argument brings stays as it is.
    if (failure.logFormat) log.Write("%s", FormatTwo(failure.logFormat, failure.first, failure.second).c_str());
    return false;
}
