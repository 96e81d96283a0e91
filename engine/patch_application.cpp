#include "engine/patch_application.h"

#include <windows.h>

#include "engine/engine_context.h"
#include "files/paths.h"

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

// "DIRECTORY" "PATCH FILE": the files to patch lie beside the patch file.
std::string CommandLineFor(const std::string& patchFile) {
    std::string directory = DirectoryOf(patchFile);
    if (!directory.empty()) directory.pop_back();
    return "\"" + directory + "\" \"" + patchFile + "\"";
}

// The body of one application thread, with the apply lock held.
bool ApplyPatchFile(PatchApplyJob& job) {
    EngineContext& engine = *job.engine;
    engine.WriteLog("\r\nApplying patch file. Command line: %s", job.commandLine.c_str());
    uint32_t code = PATCHLIB_ERR_COMMAND_LINE;
    if (job.applyEntry) {
        callbackEngine = &engine;
        code = job.applyEntry(job.commandLine.c_str(), PatchCallback, 1);
        callbackEngine = nullptr;
    }
    engine.WriteLog("... completed, code=%u.", code);
    DeleteFileA(job.patchFile.c_str());
    return code == PATCHLIB_OK;
}

}  // namespace

PatchApplications::PatchApplications() : jobs_(ApplyPatchFile) {}

bool PatchApplications::Start(EngineContext& engine, const std::string& patchFile) {
    auto job = std::make_unique<PatchApplyJob>();
    job->commandLine = CommandLineFor(patchFile);
    job->patchFile = patchFile;
    job->engine = &engine;
    job->applyEntry = engine.applyEntry;
    std::unique_ptr<PatchApplyJob> notStarted = jobs_.Start(std::move(job));
    if (!notStarted) return true;
    engine.WriteLog("\r\nApplying patch file. Command line: %s... not started.", notStarted->commandLine.c_str());
    DeleteFileA(notStarted->patchFile.c_str());
    return false;
}
