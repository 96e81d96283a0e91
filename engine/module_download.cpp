// Optional modules: bringing one module's files in sync with the image on the client's
// request.
#include <windows.h>

#include <memory>
#include <vector>

#include "common/message_texts.h"
#include "common/resource_ids.h"
#include "engine/engine_context.h"
#include "files/expansion.h"
#include "files/paths.h"
#include "files/progress_dialog.h"
#include "files/system_paths.h"
#include "transfer/download.h"

int EngineContext::DownloadModuleFiles(const std::string& moduleName, bool showUI) {
    if (showUI) {
        OpenProgressDialog();  // comes to the foreground
    } else {
        ForgetAbortOfClosedDialog();
    }
    errorReport.Clear();
    const std::shared_ptr<UpdateImage> image = GetImage(imageHolder, url, imagePath, referer, userName, userPassword);
    const auto module = image->modules.find(moduleName);
    if (module == image->modules.end()) {
        if (showUI && progressDialog) CloseProgressDialog();
        return 0;
    }

    TransferContext phase(*this, referer);
    std::vector<ImageFileEntry> installList;
    {
        LogWriter::Batch lines(log);  // a line per file
        for (const ImageFileEntry& file : module->second.files) {
            if (VerifyFile(file, appDirectory)) continue;
            installList.push_back(file);
            phase.bytesTotal += file.downloadSize;
        }
    }
    ResetProgressBar(IDC_PROGRESS_TOTAL_BAR, phase.bytesTotal);
    SetProgressTitle(MessageText(IDS_TITLE_MODULES).c_str());

    bool failed = false;
    // Written by the expansions, read after all of them have ended.
    std::vector<char> installed(installList.size(), 0);
    for (size_t i = 0; i < installList.size(); ++i) {
        ImageFileEntry& entry = installList[i];
        const std::string imagePath = entry.localPath;
        entry.localPath = JoinPath(downloadDirectory, imagePath);
        WriteLog("\r\nDownloading module file %s.", entry.remotePath.c_str());
        if (!DownloadFile(phase, entry)) {
            failed = true;
            WriteLog("\r\nFile %s download failed.", entry.remotePath.c_str());
            if (abortRequested) {
                errorReport.Add(FormatText("Module file %s download aborted.", entry.localPath.c_str()));
                break;
            }
            continue;
        }
        OutputDebugStringA("success!!");
        const std::string target = ResolveLocalPath(imagePath, appDirectory);
        const std::string directory = DirectoryOf(target);
        if (!directory.empty()) CreateDirectoryChain(directory);
        SetProgressText(IDC_PROGRESS_STATUS, MessageText(IDS_EXPANDING_FILE).c_str());
        auto job = std::make_unique<ExpansionJob>();
        job->engine = this;
        job->applicationDirectory = appDirectory;
        job->downloadedFile = entry.localPath;
        job->targetPath = target;
        job->expectedSize = entry.expectedSize;
        job->timestamp = entry.timestamp;
        job->installed = &installed[i];
        entry.localPath = target;
        if (!expansions.Start(std::move(job))) failed = true;
    }
    SetProgressText(IDC_PROGRESS_STATUS, MessageText(IDS_EXPANDING_FILES).c_str());
    expansions.WaitUntilDone();

    // Only what was installed is started: a failed or cancelled download is no program,
    // and a file that did not expand into place is not the module's.
    std::vector<ImageFileEntry> done;
    for (size_t i = 0; i < installList.size(); ++i) {
        if (installed[i]) {
            done.push_back(installList[i]);
        } else {
            failed = true;
        }
    }
    RunCommandEntries(nullptr, &done);
    if (showUI && progressDialog) CloseProgressDialog();
    return failed ? 0 : 1;
}
