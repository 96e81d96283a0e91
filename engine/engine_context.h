// The engine core of one client application (one appID): the copies of the client's
// properties, the log and the error report, shared by every automation object of
// that application for the life of the server process.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "common/image_model.h"
#include "engine/image_holder.h"
#include "engine/patch_application.h"
#include "engine/patch_run.h"
#include "files/expansion.h"
#include "patchlib/patchw32.h"
#include "common/diagnostics.h"

// The log and the error report come from Diagnostics.
class EngineContext : public Diagnostics {
public:
    EngineContext() = default;
    EngineContext(const EngineContext&) = delete;
    EngineContext& operator=(const EngineContext&) = delete;

    // Copies of the client's properties.
    std::string downloadDirectory;
    std::string appDirectory;
    std::string userPassword;
    std::string userName;
    std::string url;
    std::string imagePath;
    std::string referer;
    // The publisher's key of the object whose operation runs (set before each one): with
    // it, only images it signed are taken, and only files they bind (image_trust.h).
    std::string publisherKey;

    // The appID this context serves.
    std::string appID;

    ImageTrust Trust() const { return ImageTrust{publisherKey, appID}; }

    // The image cache (GetImage, FetchImage).
    ImageHolder imageHolder;

    // The patch library's entry point, or null when the library could not be loaded.
    PatchApplyEntry applyEntry = nullptr;

    // The patch files being applied for this context, in order.
    PatchApplications patchApplications;

    // The image for the context's site, image path and credentials (GetImage). A fetch
    // that fails is told here (box, error report, log line); the result then holds an
    // image without entries.
    ImageResult CurrentImage(const std::string& referer);

    // True when the file that the entry names (relative paths against baseDirectory)
    // has the expected size and file Id. Logs the outcome; reports a missing, locked
    // or wrongly sized file.
    bool VerifyFile(const ImageFileEntry& entry, const std::string& baseDirectory);

    // The patch decision: 1 when the image offers a patch path from fromV toward toV, when
    // a mandatory file is out of sync or when a file listed for deletion still exists;
    // else 0, also when the image could not be fetched (the report and the log then say
    // why). Runs the "[exec_always]" programs first. Clears the error report and fills
    // it with what it found.
    int IsPatchNeeded(int32_t fromV, int32_t toV);

    // Runs, one after another and each to its end, the entries of installList whose flags
    // hold "[exec]" (any case), then those of alwaysList whose flags hold "[exec_always]",
    // the latter only when their file can be opened with no sharing at all. Either list
    // may be null. Each start is logged first; the program is the entry's localPath as
    // the list holds it, without parameters, in its own directory. A program that cannot
    // be started is skipped after its log line.
    void RunCommandEntries(const std::vector<ImageFileEntry>* alwaysList,
                           const std::vector<ImageFileEntry>* installList);

    // Brings the files of the image's module moduleName (exact name) in sync: downloads
    // those out of sync, expands them into place and starts the "[exec]" ones that were
    // installed. With showUI the progress dialog shows (and is closed at the end). 1 when
    // the module was found and everything was installed, else 0.
    int DownloadModuleFiles(const std::string& moduleName, bool showUI);

    // Checks the engine's own files (beside the running program) against the image's;
    // when one is out of sync, downloads every one that is into the download directory,
    // appending the download path of each that came whole with the image's size and file
    // Id to *downloaded (a download that does not is told and deleted), and returns 1
    // (also when downloads failed); otherwise 0.
    int IsHalvorinNeeded(std::vector<std::string>* downloaded);

    // Starts the patch run on a thread of its own, which holds keepAlive until the end.
    // False when a run of this context is in progress (nothing changes then) or no thread
    // could be started.
    bool StartPatch(const PatchRunRequest& request, ComPtr<IUnknown> keepAlive);

    // Guards runInProgress: one patch run at a time per context.
    CriticalSection startLock;
    bool runInProgress = false;

    // The expansions of this context's downloads, one at a time.
    Expansions expansions;
};
