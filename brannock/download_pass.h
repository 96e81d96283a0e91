// The download pass: a new Halvorin object is told where the library lives and how to
// reach the site (the Config.Ins values), then asked whether the engine must upgrade
// itself. If not, it downloads the module "Install" into the library's directory. If so,
// the engine is handed over: the old server is stopped, its new files are copied into
// its directory and deleted from the download directory, the server is registered again
// and the pass starts over, at most kMaxHandOvers times in one call (a site that keeps
// reporting new engine files must not keep the setup going for ever).
#pragma once
#include "brannock/config_file.h"

constexpr int kMaxHandOvers = 3;

// Needs an initialised automation runtime. True when the module was installed.
bool RunDownloadPass(const InstallConfig& config);
