#include "engine/patch_application.h"

#include <windows.h>

#include "engine/engine_context.h"

namespace {

// The engine whose log the library's messages go to: the one whose application runs on
// this thread. The callback has no argument that could say it, and applications of
// several engines may run at the same time on threads of their own.
thread_local EngineContext* callbackEngine = nullptr;

// What the callback answers to every message: an empty text, never null, so the library
// always goes on.
const char kAnswer[4] = {0, 0, 0, 0};

void* __stdcall PatchCallback(uint32_t messageId, void* parameter) {
    EngineContext* engine = callbackEngine;
    if (engine == nullptr) return const_cast<char*>(kAnswer);
    const char* text = parameter ? static_cast<const char*>(parameter) : "";
    switch (messageId) {
    case 1: case 2: case 3: case 4: case 9: case 10: case 11: case 12:
        engine->WriteLog("\r\nRTP:  %s", text);
        break;
    case 7: engine->WriteLog("\r\nRTP:  Starting patch"); break;
    case 8: engine->WriteLog("\r\nRTP:  Patch completed"); break;
    // These continue the line before them.
    case 13: engine->WriteLog("RTP:  Path: %s.", text); break;
    case 14: engine->WriteLog("RTP:  Invalid patch file!"); break;
    case 16: engine->WriteLog("RTP:  Invalid password."); break;
    case 18: engine->WriteLog("RTP:  Invalid patch disk."); break;
    case 22: engine->WriteLog("RTP:  Searching for systems to update."); break;
    default: break;
    }
    return const_cast<char*>(kAnswer);
}

// "TARGET DIRECTORY" "PATCH FILE", the directory without a trailing separator.
std::string CommandLineFor(const std::string& patchFile, std::string targetDirectory) {
    while (targetDirectory.size() > 1 && (targetDirectory.back() == '\\' || targetDirectory.back() == '/')) {
        targetDirectory.pop_back();
    }
    return "\"" + targetDirectory + "\" \"" + patchFile + "\"";
}

// The body of one application thread, with the apply lock held.
bool ApplyPatchFile(PatchApplyJob& job) {
    EngineContext& engine = *job.engine;
    uint32_t& code = job.chain->codes[job.step];
    if (job.chain->broken) {
        engine.WriteLog("\r\nApplying patch file. Command line: %s... not applied: a patch before it failed.",
                        job.commandLine.c_str());
        DeleteFileA(job.patchFile.c_str());
        return false;
    }
    engine.WriteLog("\r\nApplying patch file. Command line: %s", job.commandLine.c_str());
    code = PATCHLIB_ERR_COMMAND_LINE;
    if (job.applyEntry) {
        callbackEngine = &engine;
        code = job.applyEntry(job.commandLine.c_str(), PatchCallback, 1);
        callbackEngine = nullptr;
    }
    engine.WriteLog("... completed, code=%u.", code);
    DeleteFileA(job.patchFile.c_str());
    if (code != PATCHLIB_OK) job.chain->broken = true;
    return code == PATCHLIB_OK;
}

}  // namespace

uint32_t SettleInterruptedPatch(EngineContext& engine, const std::string& directory) {
    if (!engine.applyEntry) return PATCHLIB_ERR_COMMAND_LINE;
    std::string target = directory;
    while (target.size() > 1 && (target.back() == '\\' || target.back() == '/')) target.pop_back();
    const std::string commandLine = "\"" + target + "\"";
    callbackEngine = &engine;
    const uint32_t code = engine.applyEntry(commandLine.c_str(), PatchCallback, 1);
    callbackEngine = nullptr;
    return code;
}

PatchApplications::PatchApplications() : jobs_(ApplyPatchFile) {}

bool PatchApplications::Start(EngineContext& engine, const std::string& patchFile, const std::string& targetDirectory,
                              PatchChainResults* chain, size_t step) {
    auto job = std::make_unique<PatchApplyJob>();
    job->commandLine = CommandLineFor(patchFile, targetDirectory);
    job->patchFile = patchFile;
    job->engine = &engine;
    job->applyEntry = engine.applyEntry;
    job->chain = chain;
    job->step = step;
    std::unique_ptr<PatchApplyJob> notStarted = jobs_.Start(std::move(job));
    if (!notStarted) return true;
    engine.WriteLog("\r\nApplying patch file. Command line: %s... not started.", notStarted->commandLine.c_str());
    DeleteFileA(notStarted->patchFile.c_str());
    chain->broken = true;
    return false;
}
