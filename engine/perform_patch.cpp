// The steps of a patch run over its image: the dialog, the patch files, the mandatory
// files, the deletions, the commands, the dialog's close, and the check of the result.
//
// The run ends on the old release or on the new one. The patch phase applies its chain
// one whole patch at a time and stops at the first step that cannot be downloaded or
// applied, so the installation stays on a release that the chain knows and a later run
// goes on from there. The mandatory phase installs only files that were checked; it
// runs after a patch phase that succeeded or was not needed, and, as the repair it is,
// after a patch that the installation did not fit. The deletions belong to the new
// release: they run only once everything else has brought the installation to it. A run
// that did everything it tried is a success only when the installation then verifies
// against the image.
#include <windows.h>

#include <memory>
#include <vector>

#include "common/image_time_win.h"
#include "common/message_texts.h"
#include "common/resource_ids.h"
#include "engine/engine_context.h"
#include "engine/patch_path_search.h"
#include "engine/patch_run_state.h"
#include "files/expansion.h"
#include "files/file_identity.h"
#include "files/paths.h"
#include "files/progress_dialog.h"
#include "files/system_paths.h"
#include "transfer/download.h"

namespace {

// The folder of the download directory (or of the application directory, when there is
// none) that patch files are downloaded into under their own names: never in the place of
// a file of the installation that carries a patch's name, nor resumed from its bytes.
constexpr char kPatchDownloadFolder[] = ".hvpatch";

enum class PatchPhase {
    kNotNeeded,  // no version change, or an image of mandatory files only
    kApplied,    // every step of the chain was applied
    kRefused,    // a patch did not fit the installation (not the release it was made for)
    kFailed,     // no road to the version, no patch library, a download or another failure
    kCancelled,  // the user cancelled a download
};

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

void ReportFailure(EngineContext& engine, const std::string& text) {
    engine.errorReport.Add(text);
    engine.WriteLog("\r\n%s", text.c_str());
}

// What the applications of a chain came to, once all have ended.
PatchPhase ChainOutcome(EngineContext& engine, const PatchPath& path, const PatchChainResults& results) {
    for (size_t i = 0; i < path.size(); ++i) {
        const uint32_t code = results.codes[i];
        if (code == PATCHLIB_OK) continue;
        if (code == kPatchSkipped) {
            ReportFailure(engine, FormatText("Patch file %s was not applied.", path[i].remotePath.c_str()));
            return PatchPhase::kFailed;
        }
        ReportFailure(engine, FormatText("Patch file %s could not be applied (code %u).", path[i].remotePath.c_str(),
                                         static_cast<unsigned>(code)));
        return code == PATCHLIB_ERR_WRONG_VERSION ? PatchPhase::kRefused : PatchPhase::kFailed;
    }
    return PatchPhase::kApplied;
}

// Downloads the chain's patch files one after another, each applied on its own thread as
// soon as it is there while the next one downloads.
PatchPhase ApplyPatchPath(PatchRun& run, const PatchPath& path, ProgressOperation& progress) {
    EngineContext& engine = *run.engine;
    TransferContext phase(engine, run.referer);
    phase.cancel = &progress.cancelled();
    phase.digests = run.digests;
    for (const ImagePatchStep& step : path) phase.bytesTotal += step.downloadSize;
    ResetProgressBar(IDC_PROGRESS_TOTAL_BAR, phase.bytesTotal);
    const std::string downloads =
        JoinPath(run.downloadDirectory.empty() ? run.appDirectory : run.downloadDirectory, kPatchDownloadFolder);
    // Gone with the last patch file (an unfinished download stays, for a later run).
    struct RemoveWhenEmpty {
        const std::string& folder;
        ~RemoveWhenEmpty() { RemoveDirectoryA(folder.c_str()); }
    } removeFolder{downloads};
    PatchChainResults results(path.size());
    for (size_t i = 0; i < path.size() && !results.broken; ++i) {
        const ImagePatchStep& step = path[i];
        ImageFileEntry request;
        request.site = step.site;
        request.userName = step.userName;
        request.password = step.password;
        request.remotePath = step.remotePath;
        request.localPath = JoinPath(downloads, PatchFileName(step.remotePath));
        request.expectedSize = request.downloadSize = step.downloadSize;
        request.timestamp = UtcNow();
        engine.WriteLog("\r\nDownloading patch file %s.", step.remotePath.c_str());
        if (DownloadFile(phase, request)) {
            OutputDebugStringA("success.");
            engine.patchApplications.Start(engine, request.localPath, run.appDirectory, &results, i);
            continue;
        }
        engine.WriteLog("\r\nFile %s download failed.", step.remotePath.c_str());
        // The client must not start while its files are still being patched.
        engine.patchApplications.WaitUntilDone();
        if (progress.cancelled()) {
            engine.errorReport.Add(FormatText("Patch file %s download aborted.", step.remotePath.c_str()));
            return PatchPhase::kCancelled;
        }
        // The steps after this one are made for the files it would have made: the chain
        // ends here, on the release the applications so far have reached.
        return ChainOutcome(engine, path, results);
    }
    SetProgressText(IDC_PROGRESS_STATUS, MessageText(IDS_PATCHING).c_str());
    engine.patchApplications.WaitUntilDone();
    return ChainOutcome(engine, path, results);
}

PatchPhase RunPatchPhase(PatchRun& run, const UpdateImage& image, ProgressOperation& progress) {
    EngineContext& engine = *run.engine;
    const int32_t from = run.request.fromVersion;
    const int32_t to = run.request.toVersion;
    if (from == to) return PatchPhase::kNotNeeded;
    const std::vector<PatchPath> candidates = FindPatchPaths(from, to, image.patchSteps);
    const PatchPath* path = UsablePatchPath(candidates, from, to);
    if (!path) {
        // An image without patches brings its release through its mandatory files.
        if (image.patchSteps.empty()) return PatchPhase::kNotNeeded;
        ReportFailure(engine, FormatText("No patch of the update image leads from version %d to version %d.",
                                         static_cast<int>(from), static_cast<int>(to)));
        return PatchPhase::kFailed;
    }
    if (!engine.applyEntry) {
        ReportFailure(engine, FormatText("The patch library is not loaded: version %d cannot be patched to version %d.",
                                         static_cast<int>(from), static_cast<int>(to)));
        return PatchPhase::kFailed;
    }
    return ApplyPatchPath(run, *path, progress);
}

// The mandatory phase: every file out of sync is downloaded into the download directory
// and installed once checked. Returns the entries that were installed, with their target
// paths: only they are started as commands. *complete: every file out of sync was
// installed.
std::vector<ImageFileEntry> InstallMandatoryFiles(PatchRun& run, const UpdateImage& image,
                                                  ProgressOperation& progress, bool* complete) {
    EngineContext& engine = *run.engine;
    TransferContext phase(engine, run.referer);
    phase.cancel = &progress.cancelled();
    phase.digests = run.digests;
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
            engine.WriteLog("\r\nFile %s download failed.", entry.remotePath.c_str());
            if (progress.cancelled()) {
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
        job->downloadedFile = entry.localPath;
        job->targetPath = target;
        job->expectedSize = entry.expectedSize;
        job->expectedFileId = entry.fileId;
        job->timestamp = entry.timestamp;
        job->installed = &installed[i];
        job->silent = FailureScope::Silent();
        job->lastFailure = FailureScope::LastFailure();
        engine.expansions.Start(std::move(job));
        entry.localPath = target;
    }
    SetProgressText(IDC_PROGRESS_STATUS, MessageText(IDS_EXPANDING_FILES).c_str());
    engine.expansions.WaitUntilDone();

    // An entry that was not installed (its download or its installation failed, or a
    // Cancel came first) leaves the phase incomplete.
    std::vector<ImageFileEntry> done;
    *complete = true;
    for (size_t i = 0; i < installList.size(); ++i) {
        if (installed[i]) {
            done.push_back(installList[i]);
        } else {
            *complete = false;
        }
    }
    return done;
}

// Whether a mandatory entry of the image installs exactly this path.
bool InstalledByImage(const UpdateImage& image, const std::string& path, const std::string& appDirectory) {
    for (const ImageFileEntry& entry : image.mandatoryFiles) {
        if (lstrcmpiA(ResolveLocalPath(entry.localPath, appDirectory).c_str(), path.c_str()) == 0) return true;
    }
    return false;
}

void DeleteListedFiles(PatchRun& run, const UpdateImage& image) {
    for (const std::string& listed : image.deleteFiles) {
        const std::string path = ResolveLocalPath(listed, run.appDirectory);
        // An image that both installs and deletes a file contradicts itself: the file stays.
        if (InstalledByImage(image, path, run.appDirectory)) {
            run.engine->WriteLog("\r\nFile %s is installed by the update image too; it is not deleted.", path.c_str());
            continue;
        }
        run.engine->WriteLog("\r\nDeleting file %s.", path.c_str());
        DeleteFileA(path.c_str());
    }
}

// The installation against the image once the run has done its work: every mandatory
// file has the image's size and file Id, and no file that the image deletes is there.
bool InstallationMatchesImage(PatchRun& run, const UpdateImage& image) {
    EngineContext& engine = *run.engine;
    bool matches = true;
    for (const ImageFileEntry& entry : image.mandatoryFiles) {
        const std::string path = ResolveLocalPath(entry.localPath, run.appDirectory);
        FileFacts facts;
        if (CheckFile(path, entry.expectedSize, entry.fileId, &facts) == FileCheck::kMatches) continue;
        ReportFailure(engine, FormatText("After the update, file %s does not match the update image.", path.c_str()));
        matches = false;
    }
    for (const std::string& listed : image.deleteFiles) {
        const std::string path = ResolveLocalPath(listed, run.appDirectory);
        // There at all counts, also when another program holds it.
        if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) continue;
        ReportFailure(engine, FormatText("After the update, file %s is still there; the update image deletes it.",
                                         path.c_str()));
        matches = false;
    }
    return matches;
}

}  // namespace

void PerformPatch(PatchRun& run, const UpdateImage& image) {
    EngineContext& engine = *run.engine;
    ProgressOperation progress;
    progress.Join();  // comes to the foreground
    SetProgressTitle(MessageText(IDS_TITLE_PATCHES).c_str());
    engine.errorReport.Clear();

    // A patch that a killed run left half applied is settled first, whatever this run
    // does: its client may have started again since and asks for no patch at all.
    bool settled = true;
    if (engine.applyEntry) {
        const uint32_t code = SettleInterruptedPatch(engine, run.appDirectory);
        settled = code == PATCHLIB_OK;
        if (!settled) {
            ReportFailure(engine, FormatText("A patch application that was interrupted in %s could not be settled (code "
                                             "%u).",
                                             run.appDirectory.c_str(), static_cast<unsigned>(code)));
        }
    }
    const PatchPhase patches = RunPatchPhase(run, image, progress);
    if (patches == PatchPhase::kCancelled) {
        run.failed = true;
        return;
    }
    bool newRelease = settled && (patches == PatchPhase::kNotNeeded || patches == PatchPhase::kApplied);
    std::vector<ImageFileEntry> installed;
    if (newRelease || patches == PatchPhase::kRefused) {
        bool complete = false;
        installed = InstallMandatoryFiles(run, image, progress, &complete);
        newRelease = newRelease && complete;
    }
    if (newRelease) DeleteListedFiles(run, image);
    engine.RunCommandEntries(nullptr, &installed);
    progress.Leave();
    // A step that failed has told what went wrong; otherwise the result must bear it out.
    run.failed = !newRelease || !InstallationMatchesImage(run, image);
}
