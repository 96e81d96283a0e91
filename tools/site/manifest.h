// The publisher's manifest: what halvorin-site publish makes a site from. A text file, one
// directive per line; '#' starts a comment; a word that holds blanks is written in double
// quotes. Paths are relative to the manifest's directory unless absolute.
//
//   site updates.example.com          the host (or host:port) the engine is told to use
//   image /myapp/image.txt            object path of the image on the site (default /image.txt)
//   release 1 releases/v1             the application's releases, oldest first: version and
//   release 2 releases/v2             directory of each
//   direct 1                          also a patch straight from release 1 to the newest
//   mandatory app.exe [exec]          files of the newest release every installation must
//   mandatory data/*.dat              hold (relative to its directory; '*' and '?' match
//   mandatory **                      within one path part, '**' across parts); then the
//                                     flags, if any
//   engine out/halvorin.exe           the engine's own files, and their names in the
//   engine out/patchw32.dll           engine's directory (default: the file's name)
//   module Tools "Handy tools"        an optional module and its description, then its files:
//   module-file tools/t.exe tools\t.exe [exec]   source, installed path, flags
//   codepage 1252                     the ANSI code page of the clients, in which the image
//                                     names the files (1252 when not given)
//   sign keys/site.key                sign the image with this private key (halvorin-site
//                                     keygen), binding every file it names by its SHA-256
//   expires 90                        the signed image is refused that many days after publish
//   patch-format 1                    patches that a patch library from before format 2 (in
//                                     the clients' engine directory) applies too; default 2
//
// Flags are "[exec]" and "[exec_always]", in any case and together, or "none". A UTF-8
// byte-order mark at the start is passed over.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct ManifestRelease {
    int32_t version = 0;
    std::string directory;
    size_t line = 0;
};

struct ManifestFile {
    std::string source;     // the file to publish (a pattern for mandatory files)
    std::string localPath;  // where the engine installs it ('/' between parts)
    std::string flags;      // "[exec]", ... or empty
    size_t line = 0;
};

struct ManifestModule {
    std::string name;
    std::string description;
    std::vector<ManifestFile> files;
    size_t line = 0;
};

struct ManifestDirect {
    int32_t version = 0;
    size_t line = 0;
};

struct Manifest {
    std::string directory;  // the manifest's own directory; relative paths start there
    std::string site;
    std::string imagePath = "/image.txt";
    unsigned codePage = 1252;
    size_t codePageLine = 0;
    std::vector<ManifestRelease> releases;
    std::vector<ManifestDirect> directFrom;
    std::vector<ManifestFile> mandatory;  // source: a path or pattern in the newest release
    std::vector<ManifestFile> engine;
    std::vector<ManifestModule> modules;
    std::string signKey;       // the private key file; empty: the image is not signed
    size_t signLine = 0;
    unsigned expiresDays = 0;  // 0: the signature does not expire
    size_t expiresLine = 0;
    uint8_t patchFormat = 2;   // 1: patches that every patch library applies
};

// Reads the manifest text. False with *error as "LINE: problem" for the first problem:
// an unknown directive, a missing or extra word, a version that is no number or not
// higher than the one before, a module file before any module, an unknown flag, a site
// that is no host, no site or no release.
bool ParseManifest(const std::string& text, Manifest* manifest, std::string* error);

// '*' (any run of characters but '/'), '**' (any run at all) and '?' (one character but
// '/') in pattern. Takes time in proportion to the lengths of pattern and path multiplied,
// never more, whatever the pattern.
bool MatchPathPattern(const std::string& pattern, const std::string& path);

// A site as the engine's url property takes it: a host name or IPv4 address, with an
// optional ":port" and an optional "https://" (or "http://") in front.
bool IsSiteText(const std::string& site);
