// The record of one patch run, owned by its thread.
#pragma once
#include <string>

#include "common/com_ptr.h"
#include "common/image_model.h"
#include "engine/patch_run.h"

class EngineContext;

struct PatchRun {
    EngineContext* engine = nullptr;
    PatchRunRequest request;
    // A second object of the server's own class: while it is held the server cannot shut
    // down, also after the client has gone.
    ComPtr<IUnknown> keepAlive;
    // The engine's properties when the run started.
    std::string url;
    std::string imagePath;
    std::string referer;
    std::string userName;
    std::string userPassword;
    std::string appDirectory;
    std::string downloadDirectory;
    std::string publisherKey;
    // With a publisher's key, the SHA-256 of every file the run's image names (the image
    // outlives the run's use of it); null without a key.
    const ObjectDigests* digests = nullptr;
    // Set unless the run did everything the image asks for and the installation then
    // verifies against the image: the client is started again with its failure parameters.
    bool failed = false;
};

// The run over the image: dialog, patch files, mandatory files, deletions, commands,
// close, and the check of the installation against the image. Sets run.failed.
void PerformPatch(PatchRun& run, const UpdateImage& image);
