// The steps of a patch run over its image: the dialog, the patch files, the deletions,
// the mandatory files, their commands, and the dialog's close.
#include <windows.h>

#include <vector>

#include "common/image_time_win.h"
#include "common/message_texts.h"
#include "common/resource_ids.h"
#include "engine/engine_context.h"
#include "engine/patch_path_search.h"
#include "engine/patch_run_state.h"
#include "files/expansion.h"
#include "files/paths.h"
#include "files/progress_dialog.h"
#include "files/system_paths.h"
#include "transfer/download.h"

namespace {

ImageTime UtcNow() {
    SYSTEMTIME now;
    GetSystemTime(&now);
    return FromSystemTime(now);
}

// The part after the last separator, or the whole path when it has none.
std::string PatchFileName(const std::string& remotePath) {
    const std::string name = FileNameOf(remotePath);
    return name.empty() ? remotePath : name;
}

// The patch phase. False when a Cancel ended it, and with it the run.
bool ApplyPatchPath(PatchRun& run, const PatchPath& path) {
    EngineContext& engine = *run.engine;
    TransferContext phase(engine, run.referer);
    for (const ImagePatchStep& step : path) phase.bytesTotal += step.downloadSize;
    ResetProgressBar(IDC_PROGRESS_TOTAL_BAR, phase.bytesTotal);
    for (const ImagePatchStep& step : path) {
        ImageFileEntry request;
        request.site = step.site;
        request.userName = step.userName;
        request.password = step.password;
        request.remotePath = step.remotePath;
        request.localPath = JoinPath(run.appDirectory, PatchFileName(step.remotePath));
        request.expectedSize = request.downloadSize = step.downloadSize;
        request.timestamp = UtcNow();
        engine.WriteLog("\r\nDownloading patch file %s.", step.remotePath.c_str());
        if (DownloadFile(phase, request)) {
            OutputDebugStringA("success.");
            engine.patchApplications.Start(engine, request.localPath);
        } else if (abortRequested) {
            engine.WriteLog("\r\nFile %s download failed.", step.remotePath.c_str());
            if (progressDialog) {
                engine.errorReport.Add(FormatText("Patch file %s download aborted.", step.remotePath.c_str()));
                CloseProgressDialog();
            }
            // The client must not start while its files are still being patched, and an
            // update cut short is no success.
            engine.patchApplications.WaitUntilDone();
            engine.patchApplications.TakeFailures();
            run.failed = true;
            return false;
        }
        // A step that failed without a Cancel is left out; the next one may still apply.
    }
    SetProgressText(IDC_PROGRESS_STATUS, MessageText(IDS_PATCHING).c_str());
    engine.patchApplications.WaitUntilDone();
    // An application that failed leaves the installation between versions.
    if (engine.patchApplications.TakeFailures() != 0) run.failed = true;
    return true;
}

void DeleteListedFiles(PatchRun& run, const UpdateImage& image) {
    for (const std::string& listed : image.deleteFiles) {
        const std::string path = ResolveLocalPath(listed, run.appDirectory);
        run.engine->WriteLog("\r\nDeleting file %s.", path.c_str());
        DeleteFileA(path.c_str());
    }
}

// The mandatory phase: every file out of sync is downloaded into the download directory
// and expanded into place. Returns the entries that were installed, with their target
// paths: only they are started as commands (a failed or cancelled download is no program
// to start).
std::vector<ImageFileEntry> InstallMandatoryFiles(PatchRun& run, const UpdateImage& image) {
    EngineContext& engine = *run.engine;
    TransferContext phase(engine, run.referer);
    std::vector<ImageFileEntry> installList;
    {
        LogWriter::Batch lines(engine.log);  // a line per file
        for (const ImageFileEntry& entry : image.mandatoryFiles) {
            if (engine.VerifyFile(entry, run.appDirectory)) continue;
            installList.push_back(entry);
            phase.bytesTotal += entry.downloadSize;
        }
    }
    ResetProgressBar(IDC_PROGRESS_TOTAL_BAR, phase.bytesTotal);
    SetProgressTitle(MessageText(IDS_TITLE_EXTRA_FILES).c_str());

    // Written by the expansions, read after all of them have ended.
    std::vector<char> installed(installList.size(), 0);
    for (size_t i = 0; i < installList.size(); ++i) {
        ImageFileEntry& entry = installList[i];
        const std::string imagePath = entry.localPath;
        entry.localPath = JoinPath(run.downloadDirectory, imagePath);
        engine.WriteLog("\r\nDownloading mandatory file %s.", entry.remotePath.c_str());
        if (!DownloadFile(phase, entry)) {
            run.failed = true;
            engine.WriteLog("\r\nFile %s download failed.", entry.remotePath.c_str());
            if (abortRequested) {
                engine.errorReport.Add(FormatText("Mandatory file %s download aborted.", entry.localPath.c_str()));
                break;
            }
            entry.localPath = imagePath;
            continue;
        }
        SetProgressBarPosition(IDC_PROGRESS_TOTAL_BAR, phase.bytesDone / kProgressBlockSize);
        OutputDebugStringA("success!!");
        const std::string target = ResolveLocalPath(imagePath, run.appDirectory);
        const std::string directory = DirectoryOf(target);
        if (!directory.empty()) CreateDirectoryChain(directory);
        SetProgressText(IDC_PROGRESS_STATUS, MessageText(IDS_EXPANDING_FILE).c_str());
        auto job = std::make_unique<ExpansionJob>();
        job->engine = &engine;
        job->applicationDirectory = run.appDirectory;
        job->downloadedFile = entry.localPath;
        job->targetPath = target;
        job->expectedSize = entry.expectedSize;
        job->timestamp = entry.timestamp;
        job->installed = &installed[i];
        if (!engine.expansions.Start(std::move(job))) run.failed = true;
        entry.localPath = target;
    }
    SetProgressText(IDC_PROGRESS_STATUS, MessageText(IDS_EXPANDING_FILES).c_str());
    engine.expansions.WaitUntilDone();

    // An entry that was not installed (its download or its expansion failed) makes the run
    // a failure; the ones after a Cancel were never tried, and the Cancel counted already.
    std::vector<ImageFileEntry> done;
    for (size_t i = 0; i < installList.size(); ++i) {
        if (installed[i]) {
            done.push_back(installList[i]);
        } else {
            run.failed = true;
        }
    }
    return done;
}

}  // namespace

void PerformPatch(PatchRun& run, const UpdateImage& image) {
    EngineContext& engine = *run.engine;
    OpenProgressDialog();  // comes to the foreground
    SetProgressTitle(MessageText(IDS_TITLE_PATCHES).c_str());
    engine.errorReport.Clear();

    const PatchRunRequest& request = run.request;
    if (request.fromVersion != request.toVersion && engine.applyEntry) {
        const std::vector<PatchPath> candidates = FindPatchPaths(request.fromVersion, request.toVersion, image.patchSteps);
        if (const PatchPath* path = ShortestPatchPath(candidates)) {
            if (!ApplyPatchPath(run, *path)) return;
        }
    }
    DeleteListedFiles(run, image);
    const std::vector<ImageFileEntry> installed = InstallMandatoryFiles(run, image);
    engine.RunCommandEntries(nullptr, &installed);
    if (progressDialog) CloseProgressDialog();
}
