// Path texts. Both '/' and '\' separate path parts; what the helpers insert is '/',
// what they keep is kept as it stands.
#pragma once
#include <string>

// True for a drive-letter path: second character ':' and third '\' or '/'.
bool IsAbsolutePath(const std::string& path);

// directory + path, with a '/' between them only when neither side brings a separator.
// An empty path gives an empty result.
std::string JoinPath(const std::string& directory, const std::string& path);

// The path up to and including its last separator (the first character is never taken
// as one); empty when there is none.
std::string DirectoryOf(const std::string& path);

// The part after the last separator (the first character is never taken as one);
// empty when there is none.
std::string FileNameOf(const std::string& path);

// A path that starts with "%SYSTEM%" (any case) gets systemDirectory in its place;
// any other path comes back unchanged. No separator is inserted.
std::string ReplaceSystemPrefix(const std::string& path, const std::string& systemDirectory);
