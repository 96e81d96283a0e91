#include "files/system_paths.h"

#include <windows.h>

#include "files/paths.h"

std::string SystemDirectory() {
    char directory[MAX_PATH] = "";
    const UINT length = GetSystemDirectoryA(directory, sizeof(directory));
    return length == 0 || length >= sizeof(directory) ? std::string() : std::string(directory, length);
}

std::string ExpandSystemPath(const std::string& path) {
    char systemDirectory[MAX_PATH] = "";
    // Only asked for when the placeholder is there; a failed call leaves the text empty.
    if (!path.empty() && (path[0] == '%')) {
        const UINT length = GetSystemDirectoryA(systemDirectory, sizeof(systemDirectory));
        if (length == 0 || length >= sizeof(systemDirectory)) systemDirectory[0] = '\0';
    }
    return ReplaceSystemPrefix(path, systemDirectory);
}

std::string ResolveLocalPath(const std::string& localPath, const std::string& baseDirectory) {
    const std::string path = ExpandSystemPath(localPath);
    return IsAbsolutePath(path) ? path : JoinPath(baseDirectory, path);
}

void CreateDirectoryChain(const std::string& path) {
    const size_t start = IsAbsolutePath(path) ? 4 : 0;
    for (size_t i = start; i < path.size(); ++i) {
        if (path[i] == '\\' || path[i] == '/') {
            CreateDirectoryA(path.substr(0, i).c_str(), nullptr);
        }
    }
}
