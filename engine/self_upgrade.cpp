// Whether the engine itself needs an upgrade: its own files checked against the image's,
// and those out of sync downloaded for the client, which installs them.
#include <windows.h>

#include <memory>
#include <vector>

#include "common/resource_ids.h"
#include "engine/engine_context.h"
#include "files/paths.h"
#include "files/progress_dialog.h"
#include "transfer/download.h"

int EngineContext::IsHalvorinNeeded(std::vector<std::string>* downloaded) {
    char program[MAX_PATH + 1] = "";
    GetModuleFileNameA(nullptr, program, MAX_PATH);  // a cut name stays terminated by the extra byte
    const std::string engineDirectory = DirectoryOf(program);
    WriteLog("\r\n----IsHalvorinNeeded:");
    const std::shared_ptr<UpdateImage> image = GetImage(imageHolder, url, imagePath, "", userName, userPassword);
    errorReport.Clear();

    bool outOfSync = false;
    for (const ImageFileEntry& entry : image->engineFiles) {
        if (!VerifyFile(entry, engineDirectory)) {
            outOfSync = true;
            break;
        }
    }
    if (!outOfSync) return 0;

    OpenProgressDialog();  // comes to the foreground; its title and status stay as they are
    TransferContext phase(*this);
    for (const ImageFileEntry& entry : image->engineFiles) phase.bytesTotal += entry.downloadSize;
    ResetProgressBar(IDC_PROGRESS_TOTAL_BAR, phase.bytesTotal);
    for (const ImageFileEntry& entry : image->engineFiles) {
        if (VerifyFile(entry, engineDirectory)) continue;
        ImageFileEntry request = entry;
        WriteLog("\r\nDownloading file %s.", entry.remotePath.c_str());
        request.localPath = JoinPath(downloadDirectory, entry.localPath);
        if (DownloadFile(phase, request)) {
            downloaded->push_back(request.localPath);
            continue;
        }
        WriteLog("\r\nFile %s download failed.", entry.remotePath.c_str());
        if (abortRequested) {
            errorReport.Add(FormatText("Halvorin file %s download aborted.", request.localPath.c_str()));
            break;
        }
    }
    if (progressDialog) CloseProgressDialog();
    return 1;
}
