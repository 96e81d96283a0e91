// One transfer phase (a patch run's patch files, its mandatory files, a module, the
// engine's own files): the diagnostics of the engine context it works for, the referer it
// sends, and the phase's byte counters. The phase's owner makes it, so phases that run at
// the same time on one engine context (a patch run beside a client's call) count apart.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "common/diagnostics.h"
#include "common/image_seal.h"
#include "files/progress_dialog.h"

class TransferContext {
public:
    explicit TransferContext(Diagnostics& diagnostics, std::string referer = std::string())
        : diagnostics(diagnostics), referer(std::move(referer)) {}

    // Where the failures go (box, error report, log).
    Diagnostics& diagnostics;
    // Sent with every download of the phase; empty: none.
    std::string referer;
    // Bytes transferred in the phase and bytes it has to transfer, shown by the progress
    // dialog; bytesDone is advanced by the download.
    uint32_t bytesDone = 0;
    uint32_t bytesTotal = 0;
    // Read after every block: set, the transfer stops as cancelled. An operation points
    // it at its own flag (ProgressOperation), so that no other operation's end or Cancel
    // stops it; by default, the dialog's own flag.
    const std::atomic<bool>* cancel = &abortRequested;
    // Set (a signed image's digests, by remote path): a file that came whole is kept only
    // when its SHA-256 is the one given for its remote path; otherwise it is deleted and
    // the download fails. Null: files are taken as they come.
    const ObjectDigests* digests = nullptr;
};
