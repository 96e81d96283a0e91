// Installation of compressed downloads: each downloaded file is expanded (the system's
// expand tool, or the LZ functions when the tool cannot be started) into a staging file
// beside its target, checked against the size and file Id that the image gives it, dated,
// and only then renamed over the target in one step (retried while the target is locked).
// A file that does not check out is never installed: the old target stays as it was. A
// process killed at any moment leaves the target whole, old or new; the staging file it
// may leave is removed by the next installation of that target. One thread per file; the
// expansions of one owner run one at a time, in the order started.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "common/diagnostics.h"
#include "common/image_model.h"
#include "common/serial_jobs.h"

// Appended to a target's name for the file that is checked before it takes its place.
constexpr char kStagedSuffix[] = ".hvinstall";

struct ExpansionJob {
    Diagnostics* engine = nullptr;  // log, boxes and error report of the engine context
    std::string downloadedFile;     // the compressed download; deleted by the expansion
    std::string targetPath;         // may begin with "%SYSTEM%"
    uint32_t expectedSize = 0;      // the image's size on disk
    std::string expectedFileId;     // the image's file Id
    ImageTime timestamp;            // the image's date and time, UTC: the target's last-write time
    // The expand tool; empty: the system's own, by its full path in the system directory,
    // so that no program of the same name elsewhere (the application's directory, the
    // current directory) can stand in for it.
    std::string expandTool;
    // When given, set non-zero once the target holds the expanded file as the image
    // describes it; the caller reads it after the expansion has ended.
    char* installed = nullptr;
    // The failure scope of the operation that started it (FailureScope): whether boxes
    // show, and where the last failure's text goes.
    bool silent = false;
    FailureText* lastFailure = nullptr;
};

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
// holds the expanded file with the expected size and file Id; a date that cannot be set
// is told, but does not keep the file out.
bool ExpandFile(ExpansionJob& job);

// The address that the user is asked to send a failure's system text to.
constexpr char kSupportAddress[] = "support@tolbeck.example";
