// Checking one file entry of the image against the disk.
#include <windows.h>

#include "common/text_format.h"
#include "engine/engine_context.h"
#include "files/file_identity.h"
#include "files/system_paths.h"

bool EngineContext::VerifyFile(const ImageFileEntry& entry, const std::string& baseDirectory) {
    const std::string path = ResolveLocalPath(entry.localPath, baseDirectory);
    FileFacts facts;
    switch (CheckFile(path, entry.expectedSize, entry.fileId, &facts)) {
    case FileCheck::kMissing:
        errorReport.Add(FormatText("Cannot open file %s. The file doesn't exist or is locked.", path.c_str()));
        WriteLog("\r\n %s : file doesn't exist or is locked.", path.c_str());
        return false;
    case FileCheck::kWrongSize:
        errorReport.Add(FormatText("File %s has the wrong size. Current size is %u bytes, expected %u bytes.",
                                   path.c_str(), facts.size, entry.expectedSize));
        WriteLog("\r\n %s : wrong size (%u, expected %u).", path.c_str(), facts.size, entry.expectedSize);
        return false;
    case FileCheck::kWrongId:
        WriteLog("\r\n %s : wrong file Id (%s, expected %s).", path.c_str(), facts.fileId.c_str(),
                 entry.fileId.c_str());
        return false;
    case FileCheck::kMatches:
        break;
    }
    WriteLog("\r\n %s : OK", path.c_str());
    return true;
}
