#include "tools/site/publish.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <map>
#include <set>

#include "common/file_id.h"
#include "engine/image_parser.h"
#include "patchlib/patch_maker.h"
#include "patchlib/patch_path.h"
#include "tools/makepatch/tool_io.h"
#include "tools/site/manifest.h"
#include "tools/site/site_files.h"
#include "tools/site/szdd.h"

#ifdef _WIN32
#include <process.h>
#define HALVORIN_GETPID _getpid
#else
#include <unistd.h>
#define HALVORIN_GETPID getpid
#endif

namespace {

bool IsAbsolute(const std::string& path) {
    return (!path.empty() && (path[0] == '/' || path[0] == '\\')) || (path.size() > 2 && path[1] == ':');
}

std::string Backslashes(std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

// An object path the site serves the file under: blanks and '%' escaped.
std::string Escaped(const std::string& path) {
    std::string out;
    for (char c : path) {
        if (c == ' ') out += "%20";
        else if (c == '%') out += "%25";
        else out += c;
    }
    return out;
}

// A field of an image line: quoted when it holds a blank.
std::string Field(const std::string& text) {
    return text.find(' ') == std::string::npos ? text : "\"" + text + "\"";
}

// "month/day/year hour:minute:second" in UTC, as FILE lines give the time.
std::string ImageDateTime(int64_t seconds) {
    const time_t t = static_cast<time_t>(seconds);
    const std::tm* utc = gmtime(&t);
    if (!utc) return "1/1/1980 0:00:00";
    char text[64];
    snprintf(text, sizeof text, "%d/%d/%d %d:%02d:%02d", utc->tm_mon + 1, utc->tm_mday, utc->tm_year + 1900,
             utc->tm_hour, utc->tm_min, utc->tm_sec);
    return text;
}

// What the image cannot carry in a path: an apostrophe starts a comment, a double quote
// ends a field, a line end ends the line.
bool FitsTheImage(const std::string& text) {
    for (char c : text) {
        if (c == '\'' || c == '"' || static_cast<unsigned char>(c) < 0x20) return false;
    }
    return true;
}

class Publisher {
public:
    Publisher(const Manifest& manifest, FILE* progress) : manifest_(manifest), progress_(progress) {}

    bool Run(const std::string& siteDirectory, std::string* error) {
        if (!Plan(error)) return false;
        const std::string partial = siteDirectory + ".partial-" + std::to_string(HALVORIN_GETPID());
        RemoveTree(partial);
        const bool built = MakeDirectories(partial) && Build(partial, error);
        if (built && Install(partial, siteDirectory, error)) return true;
        if (built && error->empty()) *error = " cannot move " + partial + " to " + siteDirectory;
        RemoveTree(partial);
        return false;
    }

private:
    struct Published {
        std::string source;  // the file to compress
        std::string remote;  // its object path on the site, without the leading '/'
        std::string local;   // its installed path, '/' between parts
        std::string flags;
        size_t line = 0;
        // The engine's own files stay as they are: the engine hands their downloads to the
        // client, which copies them into place without expanding them.
        bool compressed = true;
    };

    std::string Resolve(const std::string& path) const {
        return IsAbsolute(path) ? path : manifest_.directory + "/" + path;
    }

    bool Fail(std::string* error, size_t line, const std::string& problem) {
        *error = (line ? std::to_string(line) + ": " : std::string(" ")) + problem;
        return false;
    }

    // Everything is checked before anything is written.
    bool Plan(std::string* error) {
        for (const ManifestRelease& release : manifest_.releases) {
            std::vector<std::string> files;
            std::unique_ptr<TreeFileSystem> tree = OpenTree(Resolve(release.directory));
            if (!IsDirectory(Resolve(release.directory)) || !tree || !tree->ListFiles(&files)) {
                return Fail(error, release.line, "cannot read the directory " + release.directory);
            }
            std::sort(files.begin(), files.end());
            releaseFiles_.push_back(files);
        }
        const ManifestRelease& newest = manifest_.releases.back();
        std::set<std::string> taken;
        for (const ManifestFile& file : manifest_.mandatory) {
            bool matched = false;
            for (const std::string& path : releaseFiles_.back()) {
                if (!MatchPathPattern(file.source, path)) continue;
                matched = true;
                if (!taken.insert(FoldPatchPath(path)).second) continue;
                files_.push_back({Resolve(newest.directory) + "/" + path, "files/" + path + "_", path, file.flags, file.line});
            }
            if (!matched) {
                return Fail(error, file.line, "no file of release " + std::to_string(newest.version) + " is " + file.source);
            }
        }
        mandatoryCount_ = files_.size();
        for (const ManifestFile& file : manifest_.engine) {
            files_.push_back({Resolve(file.source), "engine/" + file.localPath, file.localPath, "", file.line, false});
        }
        for (const ManifestModule& module : manifest_.modules) {
            for (const ManifestFile& file : module.files) {
                files_.push_back({Resolve(file.source), "modules/" + module.name + "/" + file.localPath + "_", file.localPath,
                                  file.flags, file.line});
            }
        }
        for (const Published& file : files_) {
            if (!FitsTheImage(file.local) || file.local.empty()) {
                return Fail(error, file.line, "the image cannot name the file " + file.local);
            }
            if (file.flags.find(' ') != std::string::npos || !FitsTheImage(file.flags)) {
                return Fail(error, file.line, "flags hold a blank or a quote: " + file.flags);
            }
            if (!IsDirectory(file.source) && PathExists(file.source)) continue;
            return Fail(error, file.line, "cannot read " + file.source);
        }
        for (const ManifestModule& module : manifest_.modules) {
            if (!FitsTheImage(module.description)) return Fail(error, 0, "module " + module.name + ": the description holds a quote");
        }
        return true;
    }

    bool MakePatch(const std::string& partial, size_t from, size_t to, std::string* image, std::string* error) {
        const ManifestRelease& older = manifest_.releases[from];
        const ManifestRelease& newer = manifest_.releases[to];
        const std::string name = "patches/p" + std::to_string(older.version) + "-" + std::to_string(newer.version) + ".rtp";
        Progress("patch " + std::to_string(older.version) + " -> " + std::to_string(newer.version) + " ...");
        std::vector<uint8_t> patch;
        const MakeResult result =
            MakeTreePatch(*OpenTree(Resolve(older.directory)), *OpenTree(Resolve(newer.directory)), MakeOptions(), &patch);
        if (result.status != MakeStatus::kOk) {
            return Fail(error, newer.line, "cannot make the patch from release " + std::to_string(older.version) + ": " +
                                               result.detail);
        }
        if (!MakeDirectories(partial + "/patches") || !WriteOutputFile(partial + "/" + name, patch)) {
            return Fail(error, 0, "cannot write " + name);
        }
        Progress("  " + std::to_string(patch.size()) + " bytes, " + std::to_string(result.patched) + " patched, " +
                 std::to_string(result.added) + " added, " + std::to_string(result.deleted) + " deleted");
        *image += "FROM V" + std::to_string(older.version) + " TO V" + std::to_string(newer.version) + " " + name + " " +
                  std::to_string(patch.size()) + "\r\n";
        return true;
    }

    // The file as the site serves it, and its FILE line.
    bool Compress(const std::string& partial, const Published& file, std::string* line, std::string* error) {
        std::vector<uint8_t> bytes;
        int64_t modified = 0;
        if (!ReadInputFile(file.source, &bytes) || !ModifiedTime(file.source, &modified)) {
            return Fail(error, file.line, "cannot read " + file.source);
        }
        if (bytes.size() > 0xFFFFFFFFu) return Fail(error, file.line, file.source + " is 4 GiB or larger");
        const std::vector<uint8_t> compressed = file.compressed ? CompressSzdd(bytes, file.local.back()) : bytes;
        const std::string target = partial + "/" + file.remote;
        if (!MakeDirectories(target.substr(0, target.find_last_of('/'))) || !WriteOutputFile(target, compressed)) {
            return Fail(error, 0, "cannot write " + target);
        }
        const std::string id = FormatFileId(ChecksumBytes(bytes.data(), bytes.size()),
                                            static_cast<unsigned>(((modified / 60) % 60 + 60) % 60));
        *line = "FILE " + Field(Escaped(file.remote)) + " " + Field(Backslashes(file.local)) + " " +
                std::to_string(bytes.size()) + " " + std::to_string(compressed.size()) + " " + ImageDateTime(modified) +
                " " + (file.flags.empty() ? "none" : file.flags) + " " + id + "\r\n";
        return true;
    }

    bool Build(const std::string& partial, std::string* error) {
        std::string image = "[VERSION " + std::to_string(manifest_.releases.back().version) + "]\r\n[Patches]\r\n";
        const size_t newest = manifest_.releases.size() - 1;
        for (size_t i = 0; i + 1 < manifest_.releases.size(); ++i) {
            if (!MakePatch(partial, i, i + 1, &image, error)) return false;
        }
        for (int32_t version : manifest_.directFrom) {
            for (size_t i = 0; i + 1 < newest; ++i) {
                if (manifest_.releases[i].version == version && !MakePatch(partial, i, newest, &image, error)) return false;
            }
        }
        std::vector<std::string> lines(files_.size());
        for (size_t i = 0; i < files_.size(); ++i) {
            Progress("compress " + files_[i].local);
            if (!Compress(partial, files_[i], &lines[i], error)) return false;
        }
        image += "[Mandatory]\r\n";
        for (size_t i = 0; i < mandatoryCount_; ++i) image += lines[i];
        // Files of older releases that the newest one dropped.
        std::set<std::string> kept;
        for (const std::string& path : releaseFiles_.back()) kept.insert(FoldPatchPath(path));
        std::set<std::string> dropped;
        for (size_t r = 0; r < newest; ++r) {
            for (const std::string& path : releaseFiles_[r]) {
                if (kept.count(FoldPatchPath(path)) == 0 && dropped.insert(FoldPatchPath(path)).second) {
                    if (!FitsTheImage(path)) return Fail(error, manifest_.releases[r].line, "the image cannot name " + path);
                    image += "DELETE FILE " + Field(Backslashes(path)) + "\r\n";
                }
            }
        }
        image += "[Halvorin]\r\n";
        size_t next = mandatoryCount_;
        for (size_t i = 0; i < manifest_.engine.size(); ++i) image += lines[next++];
        image += "[Modules]\r\n";
        for (const ManifestModule& module : manifest_.modules) {
            image += "MODULE " + module.name + (module.description.empty() ? "" : " " + module.description) + "\r\n";
            for (size_t i = 0; i < module.files.size(); ++i) image += lines[next++];
        }
        if (image.size() > kImageReadLimit) {
            return Fail(error, 0, "the image would be " + std::to_string(image.size()) + " bytes; the engine reads " +
                                      std::to_string(kImageReadLimit) + " at most");
        }
        const std::string imageFile = partial + manifest_.imagePath;
        if (!MakeDirectories(imageFile.substr(0, imageFile.find_last_of('/'))) ||
            !WriteOutputFile(imageFile, std::vector<uint8_t>(image.begin(), image.end()))) {
            return Fail(error, 0, "cannot write " + imageFile);
        }
        return true;
    }

    // The new site takes the old one's place in two renames; the old one goes last.
    bool Install(const std::string& partial, const std::string& site, std::string* error) {
        const std::string old = site + ".old-" + std::to_string(HALVORIN_GETPID());
        const bool replacing = PathExists(site);
        if (replacing && !RenamePath(site, old)) return Fail(error, 0, "cannot move the old site " + site + " aside");
        if (!RenamePath(partial, site)) {
            if (replacing) RenamePath(old, site);
            return false;
        }
        if (replacing) RemoveTree(old);
        return true;
    }

    void Progress(const std::string& text) {
        if (progress_) fprintf(progress_, "halvorin-site: %s\n", text.c_str());
    }

    const Manifest& manifest_;
    FILE* progress_;
    std::vector<std::vector<std::string>> releaseFiles_;
    std::vector<Published> files_;  // mandatory files first, then the engine's, then the modules'
    size_t mandatoryCount_ = 0;
};

}  // namespace

bool PublishSite(const std::string& manifestPath, const std::string& siteDirectory, FILE* progress,
                 std::string* error) {
    std::vector<uint8_t> bytes;
    if (!ReadInputFile(manifestPath, &bytes)) {
        *error = "cannot read the manifest " + manifestPath;
        return false;
    }
    Manifest manifest;
    const size_t slash = manifestPath.find_last_of("/\\");
    manifest.directory = slash == std::string::npos ? "." : manifestPath.substr(0, slash);
    std::string problem;
    if (!ParseManifest(std::string(bytes.begin(), bytes.end()), &manifest, &problem)) {
        *error = manifestPath + ":" + problem;
        return false;
    }
    Publisher publisher(manifest, progress);
    if (publisher.Run(siteDirectory, &problem)) return true;
    *error = manifestPath + ":" + problem;
    return false;
}
