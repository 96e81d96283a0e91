#include "files/expansion.h"

#include <windows.h>
#include <lzexpand.h>

#include "common/image_time_win.h"
#include "common/message_texts.h"
#include "common/resource_ids.h"
#include "common/win_handles.h"
#include "files/run_and_wait.h"
#include "files/system_paths.h"

namespace {

constexpr DWORD kCopyRetryMilliseconds = 500;
constexpr DWORD kCopyPatienceMilliseconds = 30000;

// A box with the caption "Error", its text in the error report too (the report text is
// the log line without its line break), and the log line.
bool Fail(ExpansionJob& job, std::string boxText, std::string logText, std::string supportText = std::string()) {
    Failure failure = MakeFailure(std::move(boxText));
    failure.logText = std::move(logText);
    failure.reportText = failure.logText.substr(2);
    failure.supportText = std::move(supportText);
    return job.engine->Report(failure);
}

// The system's text for an error code, as the user should pass it on.
std::string SystemText(DWORD error) {
    char* text = nullptr;
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result = length && text ? std::string(text, length) : "error " + std::to_string(error);
    LocalFree(text);
    while (!result.empty() && (result.back() == '\r' || result.back() == '\n')) result.pop_back();
    return result;
}

// The LZ functions read the same compressed files as the expand tool.
void ExpandWithLzFunctions(const std::string& source, const std::string& target) {
    OFSTRUCT sourceInfo = {};
    OFSTRUCT targetInfo = {};
    const INT from = LZOpenFileA(const_cast<char*>(source.c_str()), &sourceInfo, OF_READ | OF_SHARE_EXCLUSIVE);
    if (from < 0) return;
    const INT to = LZOpenFileA(const_cast<char*>(target.c_str()), &targetInfo, OF_CREATE | OF_SHARE_EXCLUSIVE);
    if (to >= 0) {
        LZCopy(from, to);
        LZClose(to);
    }
    LZClose(from);
}

bool CopyOverTarget(const std::string& source, const std::string& target, DWORD* error) {
    for (DWORD waited = 0;; waited += kCopyRetryMilliseconds) {
        if (CopyFileA(source.c_str(), target.c_str(), FALSE)) return true;
        *error = GetLastError();
        if (waited >= kCopyPatienceMilliseconds) return false;
        Sleep(kCopyRetryMilliseconds);
    }
}

// The expansion itself; ExpandFile records its outcome.
bool ExpandIntoPlace(ExpansionJob& job) {
    Diagnostics& engine = *job.engine;
    const std::string target = ExpandSystemPath(job.targetPath);
    const std::string temporary = job.downloadedFile + "_";
    const std::string parameters = "\"" + job.downloadedFile + "\" \"" + temporary + "\"";
    engine.WriteLog("\r\nExpanding file, param: %s.", parameters.c_str());
    if (!RunAndWait(job.expandTool, parameters, job.applicationDirectory, SW_HIDE, false)) {
        engine.WriteLog(".. failed, trying LZCopy.");
        ExpandWithLzFunctions(job.downloadedFile, temporary);
    }
    DeleteFileA(job.downloadedFile.c_str());

    if (!UniqueHandle(CreateFileA(temporary.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr))) {
        return Fail(job, FormatMessageText(IDS_EXPANSION_FAILED, temporary.c_str()),
                    FormatText("\r\nThe expanded file %s was not created.", temporary.c_str()));
    }
    DWORD copyError = 0;
    const bool copied = CopyOverTarget(temporary, target, &copyError);
    DeleteFileA(temporary.c_str());
    if (!copied) {
        // The old target stays as it was, its date included: it is not the file the image
        // describes.
        return Fail(job, FormatMessageText(IDS_CANNOT_COPY_EXPANDED, temporary.c_str(), target.c_str()),
                    FormatText("\r\nThe expanded file %s could not be copied over the source file %s.", temporary.c_str(),
                               target.c_str()),
                    FormatText("Please send the following error message to Tolbeck at %s [%s]", kSupportAddress,
                               SystemText(copyError).c_str()));
    }

    UniqueHandle file(CreateFileA(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    if (!file) {
        return Fail(job, FormatMessageText(IDS_FILE_NOT_CREATED, target.c_str()),
                    FormatText("\r\nThe target file %s was not created.", target.c_str()));
    }
    bool installed = true;
    const DWORD size = GetFileSize(file.get(), nullptr);
    if (size != job.expectedSize) {
        installed = Fail(job, FormatMessageText(IDS_EXPANDED_SIZE, target.c_str(), job.expectedSize, size),
                         FormatText("\r\nThe expanded file %s was expected to be  %u bytes in size but is actually  %u "
                                    "bytes long.",
                                    target.c_str(), job.expectedSize, static_cast<unsigned>(size)));
    }
    const SYSTEMTIME stamp = ToSystemTime(job.timestamp);
    FILETIME lastWrite;
    if (!SystemTimeToFileTime(&stamp, &lastWrite) || !SetFileTime(file.get(), nullptr, nullptr, &lastWrite)) {
        installed = Fail(job, FormatMessageText(IDS_TIMESTAMP_NOT_SET, target.c_str()),
                         FormatText("\r\nUnable to set timestamp for file %s.", target.c_str()));
    }
    return installed;
}

}  // namespace

Expansions::Expansions() : jobs_(ExpandFile) {}

bool Expansions::Start(std::unique_ptr<ExpansionJob> job) { return jobs_.Start(std::move(job)) == nullptr; }

bool ExpandFile(ExpansionJob& job) {
    const bool installed = ExpandIntoPlace(job);
    if (job.installed) *job.installed = installed;
    return installed;
}
