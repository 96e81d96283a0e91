// Whether the engine itself needs an upgrade: its own files checked against the image's,
// and those out of sync downloaded for the client, which installs them. Only a download
// that has the image's size and file Id is handed to the client: a piece of an engine
// file, or another file, copied over the engine would leave it unable to start.
#include <windows.h>

#include <memory>
#include <vector>

#include "common/message_texts.h"
#include "common/resource_ids.h"
#include "engine/engine_context.h"
#include "engine/image_holder.h"
#include "files/file_identity.h"
#include "files/paths.h"
#include "files/progress_dialog.h"
#include "transfer/download.h"

namespace {

Failure WrongContent(const std::string& path, const FileFacts& facts, const ImageFileEntry& entry) {
    Failure failure = MakeFailure(FormatMessageText(IDS_WRONG_CONTENT, path.c_str()));
    failure.reportText = FormatText(
        "Halvorin file %s does not match the update image (%u bytes, file Id %s; expected %u bytes, file Id %s); it "
        "was deleted.",
        path.c_str(), facts.size, facts.fileId.c_str(), entry.expectedSize, entry.fileId.c_str());
    failure.logText = "\r\n" + failure.reportText;
    return failure;
}

}  // namespace

int EngineContext::IsHalvorinNeeded(std::vector<std::string>* downloaded) {
    char program[MAX_PATH + 1] = "";
    GetModuleFileNameA(nullptr, program, MAX_PATH);  // a cut name stays terminated by the extra byte
    const std::string engineDirectory = DirectoryOf(program);
    WriteLog("\r\n----IsHalvorinNeeded:");
    const ImageResult current = GetImage(imageHolder, url, imagePath, "", userName, userPassword, Trust());
    errorReport.Clear();
    if (!current.fetched) {
        Report(current.failure);
        return 0;
    }
    const UpdateImage& image = *current.image;

    bool outOfSync = false;
    for (const ImageFileEntry& entry : image.engineFiles) {
        if (!VerifyFile(entry, engineDirectory)) {
            outOfSync = true;
            break;
        }
    }
    if (!outOfSync) return 0;

    ProgressOperation progress;
    progress.Join();  // comes to the foreground; its title and status stay as they are
    TransferContext phase(*this);
    phase.cancel = &progress.cancelled();
    phase.digests = current.digests;
    for (const ImageFileEntry& entry : image.engineFiles) phase.bytesTotal += entry.downloadSize;
    ResetProgressBar(IDC_PROGRESS_TOTAL_BAR, phase.bytesTotal);
    for (const ImageFileEntry& entry : image.engineFiles) {
        if (VerifyFile(entry, engineDirectory)) continue;
        ImageFileEntry request = entry;
        WriteLog("\r\nDownloading file %s.", entry.remotePath.c_str());
        request.localPath = JoinPath(downloadDirectory, entry.localPath);
        if (DownloadFile(phase, request)) {
            FileFacts facts;
            if (CheckFile(request.localPath, entry.expectedSize, entry.fileId, &facts) == FileCheck::kMatches) {
                downloaded->push_back(request.localPath);
            } else {
                DeleteFileA(request.localPath.c_str());
                Report(WrongContent(request.localPath, facts, entry));
            }
            continue;
        }
        WriteLog("\r\nFile %s download failed.", entry.remotePath.c_str());
        if (progress.cancelled()) {
            errorReport.Add(FormatText("Halvorin file %s download aborted.", request.localPath.c_str()));
            break;
        }
    }
    return 1;
}
