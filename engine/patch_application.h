// Applying downloaded patch files through the patch library: each on a thread of its
// own, one at a time per engine context, in the order in which they were started, since
// each patch is made for the files that the one before it leaves.
#pragma once
#include <string>

#include "common/serial_jobs.h"
#include "patchlib/patchw32.h"

class EngineContext;

// One downloaded patch file to apply.
struct PatchApplyJob {
    std::string commandLine;  // "DIRECTORY" "PATCH FILE", both in double quotes
    std::string patchFile;    // deleted after the application, whatever its result
    EngineContext* engine = nullptr;
    PatchApplyEntry applyEntry = nullptr;
};

// The applications of one engine context.
class PatchApplications {
public:
    PatchApplications();

    // Starts the application of patchFile (a full path; the files it patches lie in its
    // directory) with the context's entry point, on a thread of its own that holds the
    // context's apply lock throughout. Logs the command line and the result code to the
    // context's log, to which the library's messages go too. False when no thread could
    // be started; the patch file is then deleted without being applied.
    bool Start(EngineContext& engine, const std::string& patchFile);

    // Applications started and not finished yet.
    int Pending() { return jobs_.Pending(); }
    // Returns when every application started so far has finished.
    void WaitUntilDone() { jobs_.WaitUntilDone(); }
    // Applications that ended with a code other than 0, since the last call.
    unsigned TakeFailures() { return jobs_.TakeFailures(); }

private:
    SerialJobs<PatchApplyJob> jobs_;
};
