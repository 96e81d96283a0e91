// Applying downloaded patch files through the patch library: each on a thread of its
// own, one at a time per engine context, in the order in which they were started, since
// each patch is made for the files that the one before it leaves.
#pragma once
#include <deque>
#include <memory>
#include <string>

#include "common/critical_section.h"
#include "common/win_handles.h"
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
    PatchApplications(const PatchApplications&) = delete;
    PatchApplications& operator=(const PatchApplications&) = delete;

    // Starts the application of patchFile (a full path; the files it patches lie in its
    // directory) with the context's entry point, on a thread of its own. Applications of
    // this object run one at a time, in the order of these calls: every thread applies the
    // oldest job that is waiting, so the order does not depend on which thread runs first.
    // Each logs its command line and result code to the context's log, and the library's
    // messages go to the same log. False when no thread could be started; the patch file
    // is then deleted without being applied.
    bool Start(EngineContext& engine, const std::string& patchFile);

    // Applications started and not finished yet.
    int Pending();

    // Returns when every application started so far has finished.
    void WaitUntilDone();

private:
    static unsigned __stdcall ApplyPatchFile(void* applications);
    void ApplyNext();

    CriticalSection applyLock_;  // held for a whole application; guards the two below
    std::deque<std::unique_ptr<PatchApplyJob>> waiting_;
    int pendingApplications_ = 0;
    UniqueHandle idle_;  // set while nothing is pending
};
