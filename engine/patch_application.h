// Applying downloaded patch files through the patch library: each on a thread of its
// own, one at a time per engine context, in the order in which they were started, since
// each patch is made for the files that the one before it leaves. A chain stops at its
// first patch that fails: the ones after it are made for files it did not produce and are
// not handed to the library.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "common/serial_jobs.h"
#include "patchlib/patchw32.h"

class EngineContext;

// The result slot of a patch that was not applied because one before it failed.
constexpr uint32_t kPatchSkipped = 0xFFFFFFFFu;

// The outcome of one chain of patches, owned by the run that started them and read by it
// after every application has ended (WaitUntilDone).
struct PatchChainResults {
    explicit PatchChainResults(size_t steps) : codes(steps, kPatchSkipped) {}
    std::vector<uint32_t> codes;      // the library's code of each step; kPatchSkipped until applied
    std::atomic<bool> broken{false};  // set by the first application that fails
};

// One downloaded patch file to apply.
struct PatchApplyJob {
    std::string commandLine;  // "TARGET DIRECTORY" "PATCH FILE", both in double quotes
    std::string patchFile;    // deleted after the application, whatever its result
    EngineContext* engine = nullptr;
    PatchApplyEntry applyEntry = nullptr;
    PatchChainResults* chain = nullptr;
    size_t step = 0;
};

// The applications of one engine context.
class PatchApplications {
public:
    PatchApplications();

    // Starts the application of patchFile (a full path) to the files of targetDirectory
    // with the context's entry point, on a thread of its own that holds the context's
    // apply lock throughout, as step `step` of chain. Logs the command line and the result
    // code to the context's log, to which the library's messages go too. False when no
    // thread could be started; the patch file is then deleted without being applied.
    bool Start(EngineContext& engine, const std::string& patchFile, const std::string& targetDirectory,
               PatchChainResults* chain, size_t step);

    // Applications started and not finished yet.
    int Pending() { return jobs_.Pending(); }
    // Returns when every application started so far has finished.
    void WaitUntilDone() { jobs_.WaitUntilDone(); }

private:
    SerialJobs<PatchApplyJob> jobs_;
};

// Settles a patch application that a killed process left half done in directory (the
// library finishes or undoes it as its record says) and applies nothing. Runs on the
// caller's thread; the library's messages go to the context's log. The library's code:
// 0 when nothing was left or it is settled.
uint32_t SettleInterruptedPatch(EngineContext& engine, const std::string& directory);
