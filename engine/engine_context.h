// The engine core of one client application (one appID): the copies of the client's
// properties, the log and the error report, shared by every automation object of
// that application for the life of the server process.
#pragma once
#include <string>

#include "engine/image_holder.h"
#include "engine/image_model.h"
#include "patchlib/patchw32.h"
#include "server/error_report.h"
#include "server/log_writer.h"

class EngineContext {
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

    LogWriter log;
    ErrorReport errorReport;

    // The image cache (GetImage, FetchImage).
    ImageHolder imageHolder;

    // The patch library's entry point, or null when the library could not be loaded.
    PatchApplyEntry applyEntry = nullptr;

    // Byte counters of the current transfer phase: reset by the phase's owner, advanced
    // by the download, shown by the progress dialog.
    uint32_t bytesDone = 0;
    uint32_t bytesTotal = 0;

    void WriteLog(const char* format, ...) HALVORIN_PRINTF(2, 3);

    // True when the file that the entry names (relative paths against baseDirectory)
    // has the expected size and file Id. Logs the outcome; reports a missing, locked
    // or wrongly sized file.
    bool VerifyFile(const ImageFileEntry& entry, const std::string& baseDirectory);
};
