#include "transfer/download.h"

#include <windows.h>
#include <wininet.h>

#include <cstdio>
#include <memory>
#include <string>

#include "common/cng_crypto.h"
#include "common/file_id.h"
#include "common/image_time_win.h"
#include "common/message_texts.h"
#include "common/resource_ids.h"
#include "common/win_handles.h"
#include "files/paths.h"
#include "files/progress_dialog.h"
#include "files/system_paths.h"
#include "transfer/http_get.h"
#include "transfer/reg_key_handler.h"
#include "transfer/transfer_failure.h"

namespace {

constexpr size_t kBlockSize = kProgressBlockSize;
constexpr double kFigureUnit = 1024000.0;  // shown figures: "M" of 1,024,000 bytes
constexpr size_t kRecordLength = 249;      // longest resume record read back

// The dialog formats figures itself when it shows them: a block costs no formatting.
void ShowFigures(int controlId, int textId, double done, double total) {
    SetProgressFigures(controlId, textId, done / kFigureUnit, total / kFigureUnit);
}

bool IsDiskFull(DWORD error) { return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL; }

// Case E: the local file cannot be created (or written, for another reason than a full disk).
Failure LocalFileFailure(const ImageFileEntry& request) {
    const char* path = request.localPath.c_str();
    Failure failure = MakeFailure(FormatMessageText(IDS_CANNOT_CREATE_ON_DISK, path));
    failure.reportText = FormatText(
        "File %s could not be created on disk.\r\nMake sure that no other application is currently\r\n"
        "locking this file and run scandisk.",
        path);
    failure.logText = FormatText("\r\nFile %s could not be created on disk.", path);
    return failure;
}

// Case F: the disk filled up while writing; the partial file and its record stay.
Failure DiskFullFailure(const ImageFileEntry& request) {
    const char* path = request.localPath.c_str();
    Failure failure = MakeFailure(FormatMessageText(IDS_DISK_FULL, path));
    failure.reportText = FormatText(
        "There is no more space on disk to store the\r\ndownloaded file %s. Please free some space\r\nand retry.", path);
    failure.logText = failure.reportText;
    return failure;
}

// A whole file that is not what the signed image binds to its remote path.
Failure NotSignedContent(const ImageFileEntry& request, const char* why) {
    Failure failure =
        MakeFailure(FormatMessageText(IDS_NOT_SIGNED_CONTENT, request.remotePath.c_str(), request.site.c_str()));
    failure.reportText = FormatText("File %s from site %s is not the file that the signed update image names (%s); it "
                                    "was deleted.",
                                    request.remotePath.c_str(), request.site.c_str(), why);
    failure.logText = "\r\n" + failure.reportText;
    return failure;
}

// With digests, the downloaded file must be the one they give for its remote path; any
// other is deleted before anybody can use it.
bool MatchesSignedDigest(TransferContext& context, const ImageFileEntry& request) {
    if (!context.digests) return true;
    const auto expected = context.digests->find(request.remotePath);
    const char* why = nullptr;
    Sha256Bytes actual;
    if (expected == context.digests->end()) {
        why = "the image gives no SHA-256 for it";
    } else if (!Sha256OfFile(request.localPath, &actual)) {
        why = "it could not be read to be hashed";
    } else if (actual != expected->second) {
        why = "its SHA-256 differs";
    }
    if (!why) return true;
    DeleteFileA(request.localPath.c_str());
    return context.diagnostics.Report(NotSignedContent(request, why));
}

bool MoveTo(HANDLE file, uint64_t position) {
    LARGE_INTEGER distance;
    distance.QuadPart = static_cast<LONGLONG>(position);
    return SetFilePointerEx(file, distance, nullptr, FILE_BEGIN) != 0;
}

// The local side of a download: the file, its resume record and the dialog's figures.
class FileSink : public HttpSink {
public:
    FileSink(TransferContext& context, const ImageFileEntry& request) : context_(context), request_(request) {}

    // What Begin will decide, from the same file and record, without opening the file.
    uint64_t ResumeHint() const override {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExA(request_.localPath.c_str(), GetFileExInfoStandard, &data) ||
            (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            return 0;
        }
        const uint64_t size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        RegKeyHandler records;
        records.Open(HKEY_CURRENT_USER, kResumeRecordKey);
        std::string record = records.GetProfileStringA(request_.remotePath.c_str(), "");
        if (record.size() > kRecordLength) record.resize(kRecordLength);
        const bool sameFile = record.empty() || FileIdsMatch(record, request_.fileId);
        return sameFile && size < request_.downloadSize ? size : 0;
    }

    bool Begin(uint64_t* resumeAt) override {
        const std::string directory = DirectoryOf(request_.localPath);
        if (!directory.empty()) CreateDirectoryChain(directory);
        file_.reset(CreateFileA(request_.localPath.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr));
        if (!file_) return Fail(LocalFileFailure(request_));

        SetProgressText(IDC_PROGRESS_STATUS,
                        FormatMessageText(IDS_DOWNLOADING_FILE, FileNameOf(request_.localPath).c_str()).c_str());
        ResetProgressBar(IDC_PROGRESS_FILE_BAR, request_.downloadSize);

        records_.Create(HKEY_CURRENT_USER, kResumeRecordKey);
        std::string record = records_.GetProfileStringA(request_.remotePath.c_str(), "");
        if (record.size() > kRecordLength) record.resize(kRecordLength);
        LARGE_INTEGER size;
        uint64_t present = GetFileSizeEx(file_.get(), &size) ? static_cast<uint64_t>(size.QuadPart) : 0;
        // Another file than the one the record names, or a file that cannot be a part of
        // this one, is fetched anew.
        if ((!record.empty() && !FileIdsMatch(record, request_.fileId)) || present >= request_.downloadSize) {
            MoveTo(file_.get(), 0);
            SetEndOfFile(file_.get());
            present = 0;
        }
        *resumeAt = present;
        return true;
    }

    void Started(uint64_t position) override {
        // Refused: the answer is written over the file from its start, which is not cut.
        if (position != 0) {
            MoveTo(file_.get(), position);
            SetEndOfFile(file_.get());
            received_ = position;
            context_.bytesDone += static_cast<uint32_t>(position);  // the phase counter is 32 bits wide
            SetProgressBarPosition(IDC_PROGRESS_FILE_BAR, static_cast<uint32_t>(position / kBlockSize));
            SetProgressBarPosition(IDC_PROGRESS_TOTAL_BAR, context_.bytesDone / kBlockSize);
            ShowFigures(IDC_PROGRESS_FILE_FIGURES, IDS_FIGURES_RESUMING, static_cast<double>(position),
                        request_.downloadSize);
            ShowFigures(IDC_PROGRESS_TOTAL_FIGURES, IDS_FIGURES, context_.bytesDone, context_.bytesTotal);
        }
        records_.WriteProfileStringA(request_.remotePath.c_str(), request_.fileId.c_str());
    }

    size_t PieceSize() const override { return kBlockSize; }

    Next Take(const char* data, size_t size) override {
        received_ += size;
        context_.bytesDone += static_cast<uint32_t>(size);
        StepProgressBar(IDC_PROGRESS_FILE_BAR);
        ShowFigures(IDC_PROGRESS_FILE_FIGURES, IDS_FIGURES, static_cast<double>(received_), request_.downloadSize);
        StepProgressBar(IDC_PROGRESS_TOTAL_BAR);
        ShowFigures(IDC_PROGRESS_TOTAL_FIGURES, IDS_FIGURES, context_.bytesDone, context_.bytesTotal);
        // A write that fails ends the transfer at once: going on would leave a hole in the
        // file, and the file as it stands is the right start for a later resume.
        DWORD written = 0;
        if (!WriteFile(file_.get(), data, static_cast<DWORD>(size), &written, nullptr)) {
            Fail(IsDiskFull(GetLastError()) ? DiskFullFailure(request_) : LocalFileFailure(request_));
            return Next::kStop;
        }
        if (written != size) {  // a short write: no room left
            Fail(DiskFullFailure(request_));
            return Next::kStop;
        }
        if (*context_.cancel) {
            context_.diagnostics.WriteLog("\r\nFile %s download aborted.", request_.remotePath.c_str());
            return Next::kStop;
        }
        return Next::kGoOn;
    }

    bool ResumesCutAnswers() const override { return true; }

    // Without a declared length, only the image's size tells a whole file from a piece.
    bool EndsWithoutLength(uint64_t position) const override { return position >= request_.downloadSize; }

    void Resuming(uint64_t position, uint64_t total, unsigned attempt) override {
        context_.diagnostics.WriteLog("\r\nFile %s download interrupted after %llu of %llu bytes; resuming (%u of %u).",
                          request_.remotePath.c_str(), static_cast<unsigned long long>(position),
                          static_cast<unsigned long long>(total), attempt, kCutResumeAttempts);
    }

    // The transfer is complete: the image's time (taken as UTC) on the file, the record gone.
    void Finish() {
        const SYSTEMTIME stamp = ToSystemTime(request_.timestamp);
        FILETIME lastWrite;
        if (SystemTimeToFileTime(&stamp, &lastWrite)) SetFileTime(file_.get(), nullptr, nullptr, &lastWrite);
        records_.DeleteValue(request_.remotePath.c_str());
    }

    void Close() { file_.reset(); }
    const Failure* failure() const { return failure_.get(); }

private:
    bool Fail(Failure failure) {
        failure_ = std::make_unique<Failure>(std::move(failure));
        return false;
    }

    TransferContext& context_;
    const ImageFileEntry& request_;
    UniqueHandle file_;
    RegKeyHandler records_;
    uint64_t received_ = 0;
    std::unique_ptr<Failure> failure_;  // why the sink stopped; none for a cancel
};

}  // namespace

bool DownloadFile(TransferContext& context, const ImageFileEntry& request) {
    // The dialog shows the state of the transfer when this call returns, however it ends.
    struct FlushDialogOnReturn {
        ~FlushDialogOnReturn() { FlushProgressDialog(); }
    } flushDialog;

    HttpTarget target;
    target.site = request.site;
    target.userName = request.userName;
    target.password = request.password;
    target.object = request.remotePath;
    target.referer = context.referer;
    FileSink sink(context, request);
    HttpError error;
    const bool complete = HttpGet(target, sink, &error);
    if (complete) sink.Finish();
    sink.Close();  // before any box: the user may look at the file
    if (complete) return MatchesSignedDigest(context, request);
    if (error.step != HttpStep::kSink) {
        return context.diagnostics.Report(DescribeHttpFailure(error, request.remotePath, request.site, false));
    }
    return sink.failure() ? context.diagnostics.Report(*sink.failure()) : false;
}
