// What a transfer needs from the engine context it works for: the log and the error report
// that its failures go to, the referer it sends, and the byte counters of the current phase.
#pragma once
#include <cstdint>
#include <string>

#include "common/diagnostics.h"

class TransferContext : public Diagnostics {
public:
    // Sent with every download of the context; empty: none.
    std::string referer;
    // Byte counters of the current transfer phase: reset by the phase's owner, advanced by
    // the download, shown by the progress dialog.
    uint32_t bytesDone = 0;
    uint32_t bytesTotal = 0;
};
