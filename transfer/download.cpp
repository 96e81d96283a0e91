#include "transfer/download.h"

#include <windows.h>
#include <wininet.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "common/win_handles.h"
#include "engine/file_id.h"
#include "engine/image_time_win.h"
#include "files/paths.h"
#include "files/progress_dialog.h"
#include "files/system_paths.h"
#include "server/resources/resource_ids.h"
#include "transfer/message_texts.h"
#include "transfer/reg_key_handler.h"
#include "transfer/site_connection.h"

namespace {

constexpr DWORD kBlockSize = kProgressBlockSize;
constexpr double kFigureUnit = 1024000.0;  // shown figures: "M" of 1,024,000 bytes
constexpr size_t kRecordLength = 249;      // longest resume record read back

const char* TextOrNone(const std::string& text) { return text.empty() ? nullptr : text.c_str(); }

void ShowFailure(const char* caption, const std::string& text) {
    MessageBoxA(nullptr, text.c_str(), caption, MB_ICONERROR);
}

void ShowFailure(unsigned code, const std::string& text) {
    char caption[32];
    snprintf(caption, sizeof caption, "Error %u", code);
    ShowFailure(caption, text);
}

std::string Figures(int textId, double done, double total) {
    return FormatMessageText(textId, done / kFigureUnit, total / kFigureUnit);
}

bool IsDiskFull(DWORD error) { return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL; }

// Cases B to D: the request for the file failed; texts name the remote path and the site.
bool FailRequest(EngineContext& context, const ImageFileEntry& request, unsigned code, int textId,
                 const char* reportFormat, const char* logFormat) {
    const char* remotePath = request.remotePath.c_str();
    const char* site = request.site.c_str();
    ShowFailure(code, FormatMessageText(textId, remotePath, site));
    context.errorReport.AddFormatted(reportFormat, remotePath, site);
    context.WriteLog(logFormat, remotePath, site);
    return false;
}

// Case E: the local file cannot be created (or, later, written for another reason than
// a full disk).
bool FailLocalFile(EngineContext& context, const ImageFileEntry& request) {
    const char* path = request.localPath.c_str();
    ShowFailure("Error", FormatMessageText(IDS_CANNOT_CREATE_ON_DISK, path));
    context.errorReport.AddFormatted(
        "File %s could not be created on disk.\r\nMake sure that no other application is currently\r\n"
        "locking this file and run scandisk.",
        path);
    context.WriteLog("\r\nFile %s could not be created on disk.", path);
    return false;
}

// Case F: the disk filled up while writing; the partial file and its record stay.
bool FailDiskFull(EngineContext& context, const ImageFileEntry& request) {
    static const char kText[] =
        "There is no more space on disk to store the\r\ndownloaded file %s. Please free some space\r\nand retry.";
    const char* path = request.localPath.c_str();
    ShowFailure("Error", FormatMessageText(IDS_DISK_FULL, path));
    context.errorReport.AddFormatted(kText, path);
    context.WriteLog(kText, path);
    return false;
}

// Asks for the answer to go on at offset; returns the position it goes on at, or
// INVALID_SET_FILE_POINTER when it starts from the beginning.
//
// The platform's continuation (InternetSetFilePointer) is not available everywhere:
// Wine's WinInet always refuses it. Then the rest is asked of the server directly, with
// a second request for the same object carrying a Range header; a 206 answer whose
// Content-Range starts at the offset takes the place of the first answer. Anything else
// counts as the platform's refusal and the first answer is read from its start.
DWORD ContinueAnswerAt(HINTERNET connection, const ImageFileEntry& request, const char* referer,
                       InternetHandle& answer, DWORD offset) {
    const DWORD position = InternetSetFilePointer(answer.get(), static_cast<LONG>(offset), nullptr, FILE_BEGIN, 0);
    if (position != INVALID_SET_FILE_POINTER) return position;

    const char* acceptTypes[] = {"*", nullptr};
    InternetHandle ranged(HttpOpenRequestA(connection, "GET", request.remotePath.c_str(), nullptr, referer,
                                           acceptTypes, 0, 0));
    char header[48];
    snprintf(header, sizeof header, "Range: bytes=%lu-\r\n", static_cast<unsigned long>(offset));
    if (!ranged || !HttpSendRequestA(ranged.get(), header, static_cast<DWORD>(strlen(header)), nullptr, 0)) {
        return INVALID_SET_FILE_POINTER;
    }
    DWORD status = 0;
    DWORD size = sizeof status;
    HttpQueryInfoA(ranged.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr);
    char range[128] = "";
    size = sizeof range;
    if (status != 206 || !HttpQueryInfoA(ranged.get(), HTTP_QUERY_CONTENT_RANGE, range, &size, nullptr)) {
        return INVALID_SET_FILE_POINTER;
    }
    char expected[48];
    snprintf(expected, sizeof expected, "bytes %lu-", static_cast<unsigned long>(offset));
    if (strncmp(range, expected, strlen(expected)) != 0) return INVALID_SET_FILE_POINTER;
    answer = std::move(ranged);  // closes the first answer
    return offset;
}

}  // namespace

bool DownloadFile(EngineContext& context, const ImageFileEntry& request) {
    const char* remotePath = request.remotePath.c_str();
    const char* site = request.site.c_str();
    const char* referer = TextOrNone(context.referer);

    // Declared in the reverse of the closing order: file, request, connection, internet.
    SiteConnection connection;
    if (!connection.Open(request.site, request.userName, request.password)) {
        const DWORD error = GetLastError();
        ShowFailure(error, FormatMessageText(IDS_CANNOT_OPEN_SITE, site));
        context.errorReport.AddFormatted("Could not open site %s.", site);
        context.WriteLog("\r\nCould not open site %s.", site);
        return false;
    }
    const char* acceptTypes[] = {"*", nullptr};
    InternetHandle answer(HttpOpenRequestA(connection.get(), "GET", remotePath, nullptr, referer, acceptTypes, 0, 0));
    if (!answer) {
        return FailRequest(context, request, GetLastError(), IDS_CANNOT_GET_FILE, "Could not GET file %s from site %s.",
                           "\r\nCould not GET file %s from site %s.");
    }
    if (!HttpSendRequestA(answer.get(), nullptr, 0, nullptr, 0)) {
        return FailRequest(context, request, GetLastError(), IDS_CANNOT_SEND_REQUEST,
                           "Failed to send GET request for file %s on site %s.",
                           "\r\nFailed to send GET request for file %s on site %s.");
    }
    DWORD status = 0;
    DWORD statusSize = sizeof status;
    HttpQueryInfoA(answer.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &statusSize, nullptr);
    if (status != 200) {
        return FailRequest(context, request, status, IDS_CANNOT_DOWNLOAD, "File %s could not be downloaded from site %s.",
                           "\r\nFile %s could not be downloaded from site %s.");
    }

    const std::string directory = DirectoryOf(request.localPath);
    if (!directory.empty()) CreateDirectoryChain(directory);
    UniqueHandle file(CreateFileA(request.localPath.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr));
    if (!file) return FailLocalFile(context, request);

    // The dialog shows the state of the transfer when this call returns, however it ends.
    struct FlushDialogOnReturn {
        ~FlushDialogOnReturn() { FlushProgressDialog(); }
    } flushDialog;
    SetProgressText(IDC_PROGRESS_STATUS,
                    FormatMessageText(IDS_DOWNLOADING_FILE, FileNameOf(request.localPath).c_str()).c_str());
    ResetProgressBar(IDC_PROGRESS_FILE_BAR, request.downloadSize);

    RegKeyHandler records;
    records.Create(HKEY_CURRENT_USER, kResumeRecordKey);
    std::string record = records.GetProfileStringA(remotePath, "");
    if (record.size() > kRecordLength) record.resize(kRecordLength);
    DWORD size = GetFileSize(file.get(), nullptr);
    if (size == INVALID_FILE_SIZE) size = 0;

    if ((!record.empty() && !FileIdsMatch(record, request.fileId)) || size >= request.downloadSize) {
        SetFilePointer(file.get(), 0, nullptr, FILE_BEGIN);
        SetEndOfFile(file.get());
        size = 0;
    }

    uint32_t received = 0;
    if (size != 0) {
        const DWORD position = ContinueAnswerAt(connection.get(), request, referer, answer, size);
        if (position != INVALID_SET_FILE_POINTER) {
            SetFilePointer(file.get(), static_cast<LONG>(position), nullptr, FILE_BEGIN);
            SetEndOfFile(file.get());
            received = position;
            context.bytesDone += position;
            SetProgressBarPosition(IDC_PROGRESS_FILE_BAR, position / kBlockSize);
            SetProgressBarPosition(IDC_PROGRESS_TOTAL_BAR, context.bytesDone / kBlockSize);
            SetProgressText(IDC_PROGRESS_FILE_FIGURES,
                            Figures(IDS_FIGURES_RESUMING, position, request.downloadSize).c_str());
            SetProgressText(IDC_PROGRESS_TOTAL_FIGURES,
                            Figures(IDS_FIGURES, context.bytesDone, context.bytesTotal).c_str());
        }
    }

    records.WriteProfileStringA(remotePath, request.fileId.c_str());

    char block[kBlockSize];
    for (;;) {
        DWORD n = 0;
        // A failed read is not told apart from the end of the data.
        if (!InternetReadFile(answer.get(), block, kBlockSize, &n) || n == 0) break;
        received += n;
        context.bytesDone += n;
        StepProgressBar(IDC_PROGRESS_FILE_BAR);
        SetProgressText(IDC_PROGRESS_FILE_FIGURES, Figures(IDS_FIGURES, received, request.downloadSize).c_str());
        StepProgressBar(IDC_PROGRESS_TOTAL_BAR);
        SetProgressText(IDC_PROGRESS_TOTAL_FIGURES, Figures(IDS_FIGURES, context.bytesDone, context.bytesTotal).c_str());
        // A write that fails ends the transfer at once: going on would leave a hole in
        // the file, and the file as it stands is the right start for a later resume.
        DWORD written = 0;
        if (!WriteFile(file.get(), block, n, &written, nullptr)) {
            const DWORD error = GetLastError();
            return IsDiskFull(error) ? FailDiskFull(context, request) : FailLocalFile(context, request);
        }
        if (written != n) return FailDiskFull(context, request);  // a short write: no room left
        if (abortRequested) {
            context.WriteLog("\r\nFile %s download aborted.", remotePath);
            return false;
        }
    }

    const SYSTEMTIME stamp = ToSystemTime(request.timestamp);
    FILETIME lastWrite;
    if (SystemTimeToFileTime(&stamp, &lastWrite)) SetFileTime(file.get(), nullptr, nullptr, &lastWrite);
    records.DeleteValue(remotePath);
    return true;
}
