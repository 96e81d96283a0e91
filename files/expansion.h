// Expansion of compressed downloads into place: each downloaded file is expanded (the
// system's expand tool, or the LZ functions when the tool cannot be started) into a
// temporary file beside it, which is copied over the target (retried while the target is
// locked); the target's size is checked and its date set from the image. One thread per
// file; the expansions of one owner run one at a time, in the order started.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "common/diagnostics.h"
#include "common/image_model.h"
#include "common/serial_jobs.h"

struct ExpansionJob {
    Diagnostics* engine = nullptr;     // log, boxes and error report of the engine context
    std::string applicationDirectory;  // current directory of the expand tool
    std::string downloadedFile;        // the compressed download; deleted by the expansion
    std::string targetPath;            // may begin with "%SYSTEM%"
    uint32_t expectedSize = 0;         // the image's size on disk
    ImageTime timestamp;               // the image's date and time, UTC: the target's last-write time
    std::string expandTool = "expand.exe";  // found by the shell's search
    // When given, set non-zero once the target holds the expanded file as the image
    // describes it; the caller reads it after the expansion has ended.
    char* installed = nullptr;
};

// Where an expansion stood when it failed, for its texts.
enum class ExpansionStep { kExpanded, kCopied, kOpened, kSized, kDated };

class Expansions {
public:
    Expansions();

    // Starts the job on a thread of its own that holds the expansion lock throughout. The
    // caller has created the target's directory chain. False when no thread could be
    // started (the download is then left where it is).
    bool Start(std::unique_ptr<ExpansionJob> job);

    int Pending() { return jobs_.Pending(); }
    void WaitUntilDone() { jobs_.WaitUntilDone(); }

private:
    SerialJobs<ExpansionJob> jobs_;
};

// The body of one expansion, with the lock held (also for tests). True when the target
// holds the expanded file with the expected size and date.
bool ExpandFile(ExpansionJob& job);

// The address that the user is asked to send a failure's system text to.
constexpr char kSupportAddress[] = "support@tolbeck.example";
