// The process-wide registry of engine contexts: one per distinct appID, created on
// first need and kept until the process ends.
#pragma once
#include <string>

class EngineContext;

// The context of appID (byte-wise, case-sensitive), created when absent. The first
// lookup in the process loads the patch library; each new context gets its entry point.
EngineContext& FindOrCreateContext(const std::string& appId);

// Number of contexts created so far (for diagnostics and tests).
size_t ContextCount();
