// The patch run that StartPatch hands over to the engine: on a thread of its own, it waits
// for the client to end, brings the installation from one version to another (patch
// files, deletions, mandatory files, their commands) and starts the client again with the
// parameters that tell it how the run went.
#pragma once
#include <cstdint>
#include <string>
#include <unknwn.h>

#include "common/com_ptr.h"

// What the client hands over.
struct PatchRunRequest {
    int32_t processID = 0;      // the client's process, waited for and ended if need be
    std::string processExec;    // command line that starts the client again
    std::string workingDir;     // its current directory
    std::string successParams;  // appended after one blank when the run went well
    std::string failParams;     // ... and when it did not
    int32_t fromVersion = 0;
    int32_t toVersion = 0;
    bool silent = false;        // the run shows no message boxes
};

// The seconds a client gets to end by itself before it is terminated.
constexpr int kClientExitPolls = 5;
