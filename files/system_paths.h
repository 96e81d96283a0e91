// Path helpers that ask Windows: the system directory and directory creation.
#pragma once
#include <string>

// The system directory, without a trailing separator; empty when the system cannot say.
std::string SystemDirectory();

// A path that starts with "%SYSTEM%" (any case) gets the system directory in its place.
std::string ExpandSystemPath(const std::string& path);

// Where a local path of the image lies on this machine: "%SYSTEM%" expanded; a path that
// is then not absolute lies under baseDirectory (JoinPath).
std::string ResolveLocalPath(const std::string& localPath, const std::string& baseDirectory);

// Creates every directory named by the path up to each of its separators, in order,
// ignoring failures. The drive root of an absolute path is never attempted; the last
// component is created only when the path ends with a separator.
void CreateDirectoryChain(const std::string& path);
