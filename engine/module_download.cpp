// Optional modules: bringing one module's files in sync with the image on the client's
// request.
#include <windows.h>

#include <memory>
#include <vector>

#include "common/message_texts.h"
#include "common/resource_ids.h"
#include "engine/engine_context.h"
#include "engine/image_holder.h"
#include "files/expansion.h"
#include "files/paths.h"
#include "files/progress_dialog.h"
#include "files/system_paths.h"
#include "transfer/download.h"

int EngineContext::DownloadModuleFiles(const std::string& moduleName, bool showUI) {
    // Without the dialog nothing can cancel this download; another operation's Cancel
    // does not reach it either way.
    ProgressOperation progress;
    if (showUI) progress.Join();  // comes to the foreground
    errorReport.Clear();
    const ImageResult current = CurrentImage(referer);
    const std::shared_ptr<const UpdateImage>& image = current.image;
    const auto module = image->modules.find(moduleName);
    if (module == image->modules.end()) return 0;

    TransferContext phase(*this, referer);
    phase.cancel = &progress.cancelled();
    phase.digests = current.digests;
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
            if (progress.cancelled()) {
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
        job->downloadedFile = entry.localPath;
        job->targetPath = target;
        job->expectedSize = entry.expectedSize;
        job->expectedFileId = entry.fileId;
        job->timestamp = entry.timestamp;
        job->installed = &installed[i];
        job->silent = FailureScope::Silent();
        job->lastFailure = FailureScope::LastFailure();
        entry.localPath = target;
        if (!expansions.Start(std::move(job))) failed = true;
    }
    SetProgressText(IDC_PROGRESS_STATUS, MessageText(IDS_EXPANDING_FILES).c_str());
    expansions.WaitUntilDone();

    // Only what was installed is started: a failed or cancelled download is no program,
    // and a file that did not check out was never put in place.
    std::vector<ImageFileEntry> done;
    for (size_t i = 0; i < installList.size(); ++i) {
        if (installed[i]) {
            done.push_back(installList[i]);
        } else {
            failed = true;
        }
    }
    RunCommandEntries(nullptr, &done);
    progress.Leave();
    return failed ? 0 : 1;
}
