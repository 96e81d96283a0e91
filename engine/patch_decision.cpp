// Whether the client has anything to update: a version path, a mandatory file out of
// sync, or a file that should be gone.
#include <windows.h>

#include "common/text_format.h"
#include "common/win_handles.h"
#include "engine/engine_context.h"
#include "engine/image_holder.h"
#include "engine/patch_path_search.h"
#include "files/system_paths.h"

int EngineContext::IsPatchNeeded(int32_t fromV, int32_t toV) {
    errorReport.Clear();
    WriteLog("\r\n----IsPatchNeeded:");
    // Kept alive here whatever a patch run on another thread does to the cache.
    const ImageResult current = CurrentImage("");
    // "Nothing to do" cannot be told without the image: the answer stays 0, as callers
    // expect, and the report and the log say that it could not be found out.
    if (!current.fetched) return 0;
    const UpdateImage& image = *current.image;

    // Every "[exec_always]" entry names its program where the file verification finds
    // the file: "%SYSTEM%" expanded, absolute paths as they stand.
    std::vector<ImageFileEntry> always = image.mandatoryFiles;
    for (ImageFileEntry& entry : always) entry.localPath = ResolveLocalPath(entry.localPath, appDirectory);
    RunCommandEntries(&always, nullptr);

    if (fromV != toV && applyEntry) {
        if (ShortestPatchPath(FindPatchPaths(fromV, toV, image.patchSteps))) {
            errorReport.Add(FormatText("Version upgrade from v%u to v%u.", static_cast<unsigned>(fromV),
                                     static_cast<unsigned>(toV)));
            WriteLog("\r\nFound patch from v%u to v%u", static_cast<unsigned>(fromV), static_cast<unsigned>(toV));
            return 1;
        }
    }

    // Every file is verified, so that the log and the report name all that are out of sync.
    const DWORD start = GetTickCount();
    bool outOfSync = false;
    {
        LogWriter::Batch lines(log);  // a line per file
        for (const ImageFileEntry& entry : image.mandatoryFiles) outOfSync = !VerifyFile(entry, appDirectory) || outOfSync;
    }
    WriteLog("\r\nCheck took %lums.", static_cast<unsigned long>(GetTickCount() - start));
    if (outOfSync) {
        WriteLog("\r\nMandatory file out of sync.");
        return 1;
    }

    // A listed file that another program holds without read sharing counts as gone.
    for (const std::string& listed : image.deleteFiles) {
        UniqueHandle file(CreateFileA(ResolveLocalPath(listed, appDirectory).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
        if (file.valid()) {
            WriteLog("\r\nFiles need to be deleted");
            return 1;
        }
    }
    return 0;
}
