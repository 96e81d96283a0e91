// Checking one file entry of the image against the disk.
#include <windows.h>

#include "common/text_format.h"
#include "common/win_handles.h"
#include "engine/engine_context.h"
#include "common/file_id.h"
#include "engine/file_identity.h"
#include "files/paths.h"
#include "files/system_paths.h"

bool EngineContext::VerifyFile(const ImageFileEntry& entry, const std::string& baseDirectory) {
    const std::string path = ResolveLocalPath(entry.localPath, baseDirectory);

    UniqueHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file.valid()) {
        errorReport.Add(FormatText("Cannot open file %s. The file doesn't exist or is locked.", path.c_str()));
        WriteLog("\r\n %s : file doesn't exist or is locked.", path.c_str());
        return false;
    }

    const uint32_t size = GetFileSize(file.get(), nullptr);
    if (size != entry.expectedSize) {
        errorReport.Add(FormatText("File %s has the wrong size. Current size is %u bytes, expected %u bytes.",
                                 path.c_str(), size, entry.expectedSize));
        WriteLog("\r\n %s : wrong size (%u, expected %u).", path.c_str(), size, entry.expectedSize);
        return false;
    }

    const std::string fileId = ComputeFileId(file.get());
    if (FileIdsMatch(fileId, entry.fileId)) {
        WriteLog("\r\n %s : OK", path.c_str());
        return true;
    }
    WriteLog("\r\n %s : wrong file Id (%s, expected %s).", path.c_str(), fileId.c_str(), entry.fileId.c_str());
    return false;
}
