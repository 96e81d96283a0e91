#include "files/expansion.h"

#include <windows.h>
#include <lzexpand.h>

#include "common/image_time_win.h"
#include "common/message_texts.h"
#include "common/resource_ids.h"
#include "common/win_handles.h"
#include "files/file_identity.h"
#include "files/run_and_wait.h"
#include "files/system_paths.h"

namespace {

constexpr DWORD kReplaceRetryMilliseconds = 500;
constexpr DWORD kReplacePatienceMilliseconds = 30000;

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

// The checked file takes the target's place in one step: at every moment the target is
// either the old file or the new one, whatever happens to this process.
bool ReplaceTarget(const std::string& staged, const std::string& target, DWORD* error) {
    for (DWORD waited = 0;; waited += kReplaceRetryMilliseconds) {
        if (MoveFileExA(staged.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
        *error = GetLastError();
        if (waited >= kReplacePatienceMilliseconds) return false;
        Sleep(kReplaceRetryMilliseconds);
    }
}

bool SetLastWriteTime(const std::string& path, const ImageTime& time) {
    UniqueHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    const SYSTEMTIME stamp = ToSystemTime(time);
    FILETIME lastWrite;
    return file && SystemTimeToFileTime(&stamp, &lastWrite) && SetFileTime(file.get(), nullptr, nullptr, &lastWrite) &&
           FlushFileBuffers(file.get());
}

// Removes the staging file on every way out but the one that put it in place.
class StagedFile {
public:
    explicit StagedFile(std::string path) : path_(std::move(path)) { DeleteFileA(path_.c_str()); }
    ~StagedFile() {
        if (!placed_) DeleteFileA(path_.c_str());
    }
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;
    const std::string& path() const { return path_; }
    void Placed() { placed_ = true; }

private:
    std::string path_;
    bool placed_ = false;
};

bool ExpandIntoPlace(ExpansionJob& job) {
    Diagnostics& engine = *job.engine;
    const std::string target = ExpandSystemPath(job.targetPath);
    // A staging file that a killed expansion left is removed first.
    StagedFile staged(target + kStagedSuffix);
    const std::string parameters = "\"" + job.downloadedFile + "\" \"" + staged.path() + "\"";
    engine.WriteLog("\r\nExpanding file, param: %s.", parameters.c_str());
    const std::string systemDirectory = SystemDirectory();
    const std::string tool = job.expandTool.empty() ? systemDirectory + "\\expand.exe" : job.expandTool;
    if (!RunAndWait(tool, parameters, systemDirectory, SW_HIDE, false)) {
        engine.WriteLog(".. failed, trying LZCopy.");
        ExpandWithLzFunctions(job.downloadedFile, staged.path());
    }
    DeleteFileA(job.downloadedFile.c_str());

    FileFacts facts;
    switch (CheckFile(staged.path(), job.expectedSize, job.expectedFileId, &facts)) {
    case FileCheck::kMissing:
        return Fail(job, FormatMessageText(IDS_EXPANSION_FAILED, staged.path().c_str()),
                    FormatText("\r\nThe expanded file %s was not created.", staged.path().c_str()));
    case FileCheck::kWrongSize:
        return Fail(job, FormatMessageText(IDS_EXPANDED_SIZE, target.c_str(), job.expectedSize, facts.size),
                    FormatText("\r\nThe expanded file %s was expected to be  %u bytes in size but is actually  %u "
                               "bytes long.",
                               target.c_str(), job.expectedSize, static_cast<unsigned>(facts.size)));
    case FileCheck::kWrongId:
        return Fail(job, FormatMessageText(IDS_WRONG_CONTENT, target.c_str()),
                    FormatText("\r\nThe expanded file %s does not have the content that the update image describes "
                               "(file Id %s, expected %s); it was not installed.",
                               target.c_str(), facts.fileId.c_str(), job.expectedFileId.c_str()));
    case FileCheck::kMatches:
        break;
    }
    // The date is told when it cannot be set (an image may carry an impossible one), but
    // the content is what the image describes, and that is what counts for installing it.
    if (!SetLastWriteTime(staged.path(), job.timestamp)) {
        Fail(job, FormatMessageText(IDS_TIMESTAMP_NOT_SET, target.c_str()),
             FormatText("\r\nUnable to set timestamp for file %s.", target.c_str()));
    }
    DWORD replaceError = 0;
    if (!ReplaceTarget(staged.path(), target, &replaceError)) {
        // The old target stays as it was: it is not the file the image describes.
        return Fail(job, FormatMessageText(IDS_CANNOT_COPY_EXPANDED, staged.path().c_str(), target.c_str()),
                    FormatText("\r\nThe expanded file %s could not be copied over the source file %s.",
                               staged.path().c_str(), target.c_str()),
                    FormatText("Please send the following error message to Tolbeck at %s [%s]", kSupportAddress,
                               SystemText(replaceError).c_str()));
    }
    staged.Placed();
    return true;
}

}  // namespace

Expansions::Expansions() : jobs_(ExpandFile) {}

bool Expansions::Start(std::unique_ptr<ExpansionJob> job) { return jobs_.Start(std::move(job)) == nullptr; }

bool ExpandFile(ExpansionJob& job) {
    FailureScope scope(job.silent, job.lastFailure);
    const bool installed = ExpandIntoPlace(job);
    if (job.installed) *job.installed = installed;
    return installed;
}
