// The programs that file entries of the image ask the engine to run.
#include <windows.h>

#include "common/text_search.h"
#include "engine/engine_context.h"
#include "files/paths.h"
#include "files/run_and_wait.h"

void EngineContext::RunCommandEntries(const std::vector<ImageFileEntry>* alwaysList,
                                      const std::vector<ImageFileEntry>* installList) {
    // "[exec]" is no part of "[exec_always]", so each marker starts only its own kind.
    if (installList) {
        for (const ImageFileEntry& entry : *installList) {
            if (FindNoCase(entry.flags, "[exec]") < 0) continue;
            WriteLog("\r\n[exec]Executing command line: %s.", entry.localPath.c_str());
            RunAndWait(entry.localPath, "", DirectoryOf(entry.localPath), SW_SHOWNORMAL, false);
        }
    }
    if (alwaysList) {
        for (const ImageFileEntry& entry : *alwaysList) {
            if (FindNoCase(entry.flags, "[exec_always]") < 0) continue;
            WriteLog("\r\n[exec_always]Executing command line: %s.", entry.localPath.c_str());
            RunAndWait(entry.localPath, "", DirectoryOf(entry.localPath), SW_SHOWNORMAL, true);
        }
    }
}
