// The engine core of one client application (one appID): the copies of the client's
// properties, the log and the error report, shared by every automation object of
// that application for the life of the server process.
#pragma once
#include <string>

#include "common/image_model.h"
#include "engine/image_holder.h"
#include "patchlib/patchw32.h"
#include "transfer/transfer_context.h"

// The log, the error report, the referer and the byte counters of the current transfer
// phase come from TransferContext.
class EngineContext : public TransferContext {
public:
    EngineContext() = default;
    EngineContext(const EngineContext&) = delete;
    EngineContext& operator=(const EngineContext&) = delete;

    // Copies of the client's properties (the referer is TransferContext's).
    std::string downloadDirectory;
    std::string appDirectory;
    std::string userPassword;
    std::string userName;
    std::string url;
    std::string imagePath;

    // The image cache (GetImage, FetchImage).
    ImageHolder imageHolder;

    // The patch library's entry point, or null when the library could not be loaded.
    PatchApplyEntry applyEntry = nullptr;

    // True when the file that the entry names (relative paths against baseDirectory)
    // has the expected size and file Id. Logs the outcome; reports a missing, locked
    // or wrongly sized file.
    bool VerifyFile(const ImageFileEntry& entry, const std::string& baseDirectory);
};
