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
#include "tools/site/code_page.h"
#include "tools/site/manifest.h"
#include "tools/site/site_crypto.h"
#include "tools/site/site_files.h"
#include "tools/site/site_install.h"
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

// An object path the site serves the file under, in ASCII whatever the name: every byte
// of a UTF-8 name above ASCII, and the characters a URL reads otherwise (blank, '%', '#',
// '?'), are escaped, so the server finds the file under its UTF-8 name whatever the
// client's code page.
std::string Escaped(const std::string& path) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char c : path) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte >= 0x80 || byte <= 0x20 || c == '%' || c == '#' || c == '?') {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        } else {
            out += c;
        }
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
    Publisher(const Manifest& manifest, const PublishOptions& options, FILE* progress, FILE* plan)
        : manifest_(manifest), options_(options), progress_(progress), plan_(plan) {}

    bool Run(const std::string& siteDirectory, std::string* error) {
        if (!Plan(error)) return false;
        // The image's folder on the site, and the image's name in it.
        const size_t slash = manifest_.imagePath.find_last_of('/');
        remoteFolder_ = manifest_.imagePath.substr(0, slash);
        imageName_ = manifest_.imagePath.substr(slash + 1);
        if (imageName_.empty()) return Fail(error, 0, "the image path " + manifest_.imagePath + " names no file");
        SitePlacement placement;
        std::vector<std::string> releases;
        for (const ManifestRelease& release : manifest_.releases) releases.push_back(Resolve(release.directory));
        const std::string target = siteDirectory + remoteFolder_;
        if (!PlanPlacement(siteDirectory, target, manifest_.directory, releases, options_.force, &placement, error)) {
            *error = " " + *error;
            return false;
        }
        if (options_.dryRun) return DryRun(placement);
        const std::string partial = target + ".partial-" + std::to_string(HALVORIN_GETPID());
        RemoveTree(partial);
        if (!MakeDirectories(partial) || !Build(partial, error)) {
            RemoveTree(partial);
            return false;
        }
        std::set<std::string> written(written_.begin(), written_.end());
        const std::string mark = SiteMarkText(written, manifest_.codePage);
        if (!WriteOutputFile(partial + "/" + kSiteMark, std::vector<uint8_t>(mark.begin(), mark.end())) ||
            !PlaceSite(partial, placement, written, imageName_, error)) {
            if (error->empty()) *error = "cannot write " + partial;
            *error = " " + *error;
            RemoveTree(partial);
            return false;
        }
        return true;
    }

private:
    struct Published {
        std::string source;  // the file to compress
        std::string remote;  // where it goes, relative to the image's folder ("files/app.exe_")
        std::string local;   // its installed path, '/' between parts
        std::string flags;
        size_t line = 0;
        // The engine's own files stay as they are: the engine hands their downloads to the
        // client, which copies them into place without expanding them.
        bool compressed = true;
    };

    // What a publish would write, make and remove, without doing any of it.
    bool DryRun(const SitePlacement& placement) {
        std::set<std::string> files;
        auto say = [&](const std::string& text) { fprintf(plan_, "%s\n", text.c_str()); };
        say("would write the image " + placement.target + "/" + imageName_);
        files.insert(imageName_);
        for (const Pair& pair : Pairs()) {
            const std::string name = PatchName(pair);
            say("would make the patch from release " + std::to_string(manifest_.releases[pair.first].version) +
                " to release " + std::to_string(manifest_.releases[pair.second].version) + ": " + name);
            files.insert(name);
        }
        for (const Published& file : files_) {
            say(std::string(file.compressed ? "would compress " : "would copy ") + file.source + " to " + file.remote);
            files.insert(file.remote);
        }
        for (const std::string& old : placement.madeBefore) {
            if (!files.count(old)) say("would remove " + old + " (published before, no longer made)");
        }
        if (!placement.foreign.empty()) {
            say("would keep " + std::to_string(placement.foreign.size()) + " files that publish did not make");
        }
        return true;
    }

    // The releases each patch goes between: consecutive pairs, then the direct ones.
    using Pair = std::pair<size_t, size_t>;
    std::vector<Pair> Pairs() const {
        std::vector<Pair> pairs;
        const size_t newest = manifest_.releases.size() - 1;
        for (size_t i = 0; i < newest; ++i) pairs.push_back({i, i + 1});
        for (const ManifestDirect& direct : manifest_.directFrom) {
            for (size_t i = 0; i + 1 < newest; ++i) {
                if (manifest_.releases[i].version == direct.version) pairs.push_back({i, newest});
            }
        }
        return pairs;
    }

    std::string PatchName(const Pair& pair) const {
        return "patches/p" + std::to_string(manifest_.releases[pair.first].version) + "-" +
               std::to_string(manifest_.releases[pair.second].version) + ".rtp";
    }

    // The object path on the site of a file written at relative in the image's folder.
    std::string Remote(const std::string& relative) const { return Escaped(remoteFolder_ + "/" + relative); }

    // A text of the manifest as the image carries it: in the clients' code page.
    bool ImageText(const std::string& utf8, size_t line, std::string* text, std::string* error) {
        if (Utf8ToCodePage(utf8, manifest_.codePage, text)) return true;
        return Fail(error, line, "\"" + utf8 + "\" cannot be written in code page " +
                                     std::to_string(manifest_.codePage) + ", which the clients read the image in");
    }

    std::string Resolve(const std::string& path) const {
        return IsAbsolute(path) ? path : manifest_.directory + "/" + path;
    }

    bool Fail(std::string* error, size_t line, const std::string& problem) {
        *error = (line ? std::to_string(line) + ": " : std::string(" ")) + problem;
        return false;
    }

    // Everything is checked before anything is written.
    bool Plan(std::string* error) {
        if (!CodePageKnown(manifest_.codePage)) {
            return Fail(error, manifest_.codePageLine, "code page " + std::to_string(manifest_.codePage) +
                                                           " is not known to this system");
        }
        for (const ManifestRelease& release : manifest_.releases) {
            std::vector<std::string> files;
            std::unique_ptr<TreeFileSystem> tree = OpenTree(Resolve(release.directory));
            if (!IsDirectory(Resolve(release.directory)) || !tree || !tree->ListFiles(&files)) {
                return Fail(error, release.line, "cannot read the directory " + release.directory);
            }
            if (files.empty()) return Fail(error, release.line, "the directory " + release.directory + " holds no file");
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
            std::string local;
            if (!ImageText(Backslashes(file.local), file.line, &local, error)) return false;
            if (!FitsTheImage(local) || file.local.empty()) {
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
        if (!manifest_.signKey.empty()) {
            std::string problem;
            if (!ReadSigningKey(Resolve(manifest_.signKey), &signingKey_, &problem)) {
                return Fail(error, manifest_.signLine, problem);
            }
        }
        return true;
    }

    // The seal: the SHA-256 of every file the site serves for the image, the end date,
    // and the signature of all that and the image before it.
    bool Seal(std::string* image, std::string* error) {
        for (const auto& digest : digests_) *image += SealDigestLine(digest.first, digest.second);
        if (manifest_.expiresDays) {
            *image += SealExpiresLine(static_cast<int64_t>(time(nullptr)) + int64_t{86400} * manifest_.expiresDays);
        }
        Sha256Bytes hash;
        SignatureBytes signature;
        if (!ToolSha256(image->data(), image->size(), &hash) ||
            !ToolSign(signingKey_.privateKey, signingKey_.publicKey, hash, &signature)) {
            return Fail(error, manifest_.signLine, "the image could not be signed");
        }
        *image += SealSignatureLine(signingKey_.publicKey, signature);
        return true;
    }

    // Remembers the SHA-256 of a file as the site serves it, for the seal.
    bool Digest(const std::string& remote, const std::vector<uint8_t>& bytes, std::string* error) {
        Sha256Bytes digest;
        if (manifest_.signKey.empty()) return true;
        if (!ToolSha256(bytes.data(), bytes.size(), &digest)) return Fail(error, 0, "cannot hash " + remote);
        digests_[remote] = digest;
        return true;
    }

    bool MakePatch(const std::string& partial, const Pair& pair, std::string* image, std::string* error) {
        const ManifestRelease& older = manifest_.releases[pair.first];
        const ManifestRelease& newer = manifest_.releases[pair.second];
        const std::string name = PatchName(pair);
        Progress("patch " + std::to_string(older.version) + " -> " + std::to_string(newer.version) + " ...");
        std::vector<uint8_t> patch;
        MakeOptions options;
        options.format = manifest_.patchFormat;
        const MakeResult result =
            MakeTreePatch(*OpenTree(Resolve(older.directory)), *OpenTree(Resolve(newer.directory)), options, &patch);
        if (result.status != MakeStatus::kOk) {
            return Fail(error, newer.line, "cannot make the patch from release " + std::to_string(older.version) + ": " +
                                               result.detail);
        }
        if (!MakeDirectories(partial + "/patches") || !WriteOutputFile(partial + "/" + name, patch)) {
            return Fail(error, 0, "cannot write " + name);
        }
        if (!Digest(Remote(name), patch, error)) return false;
        Progress("  " + std::to_string(patch.size()) + " bytes, " + std::to_string(result.patched) + " patched, " +
                 std::to_string(result.added) + " added, " + std::to_string(result.deleted) + " deleted");
        *image += "FROM V" + std::to_string(older.version) + " TO V" + std::to_string(newer.version) + " " +
                  Remote(name) + " " + std::to_string(patch.size()) + "\r\n";
        written_.push_back(name);
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
        if (!Digest(Remote(file.remote), compressed, error)) return false;
        const std::string id = FormatFileId(ChecksumBytes(bytes.data(), bytes.size()),
                                            static_cast<unsigned>(((modified / 60) % 60 + 60) % 60));
        std::string local;
        if (!ImageText(Backslashes(file.local), file.line, &local, error)) return false;
        *line = "FILE " + Remote(file.remote) + " " + Field(local) + " " + std::to_string(bytes.size()) + " " +
                std::to_string(compressed.size()) + " " + ImageDateTime(modified) + " " +
                (file.flags.empty() ? "none" : file.flags) + " " + id + "\r\n";
        written_.push_back(file.remote);
        return true;
    }

    bool Build(const std::string& partial, std::string* error) {
        // Empty sections are left out: a header with nothing after it is a header at the
        // image's end, which the engine passes over.
        std::string patches;
        for (const Pair& pair : Pairs()) {
            if (!MakePatch(partial, pair, &patches, error)) return false;
        }
        std::vector<std::string> lines(files_.size());
        for (size_t i = 0; i < files_.size(); ++i) {
            Progress((files_[i].compressed ? "compress " : "copy ") + files_[i].local);
            if (!Compress(partial, files_[i], &lines[i], error)) return false;
        }
        std::string mandatory;
        for (size_t i = 0; i < mandatoryCount_; ++i) mandatory += lines[i];
        // Files of older releases that the newest one dropped.
        std::set<std::string> kept;
        for (const std::string& path : releaseFiles_.back()) kept.insert(FoldPatchPath(path));
        std::set<std::string> dropped;
        const size_t newest = manifest_.releases.size() - 1;
        for (size_t r = 0; r < newest; ++r) {
            for (const std::string& path : releaseFiles_[r]) {
                if (kept.count(FoldPatchPath(path)) || !dropped.insert(FoldPatchPath(path)).second) continue;
                std::string name;
                if (!ImageText(Backslashes(path), manifest_.releases[r].line, &name, error)) return false;
                if (!FitsTheImage(name)) return Fail(error, manifest_.releases[r].line, "the image cannot name " + path);
                mandatory += "DELETE FILE " + Field(name) + "\r\n";
            }
        }
        std::string engine;
        size_t next = mandatoryCount_;
        for (size_t i = 0; i < manifest_.engine.size(); ++i) engine += lines[next++];
        std::string modules;
        for (const ManifestModule& module : manifest_.modules) {
            std::string name, description;
            if (!ImageText(module.name, module.line, &name, error) ||
                !ImageText(module.description, module.line, &description, error)) {
                return false;
            }
            modules += "MODULE " + name + (description.empty() ? "" : " " + description) + "\r\n";
            for (size_t i = 0; i < module.files.size(); ++i) modules += lines[next++];
        }
        std::string image = "[VERSION " + std::to_string(manifest_.releases.back().version) + "]\r\n";
        if (!patches.empty()) image += "[Patches]\r\n" + patches;
        if (!mandatory.empty()) image += "[Mandatory]\r\n" + mandatory;
        if (!engine.empty()) image += "[Halvorin]\r\n" + engine;
        if (!modules.empty()) image += "[Modules]\r\n" + modules;
        if (!manifest_.signKey.empty() && !Seal(&image, error)) return false;
        if (image.size() > kImageReadLimit) {
            return Fail(error, 0, "the image would be " + std::to_string(image.size()) + " bytes; the engine reads " +
                                      std::to_string(kImageReadLimit) + " at most");
        }
        if (!WriteOutputFile(partial + "/" + imageName_, std::vector<uint8_t>(image.begin(), image.end()))) {
            return Fail(error, 0, "cannot write " + partial + "/" + imageName_);
        }
        written_.push_back(imageName_);
        return true;
    }

    void Progress(const std::string& text) {
        if (progress_) fprintf(progress_, "halvorin-site: %s\n", text.c_str());
    }

    const Manifest& manifest_;
    const PublishOptions& options_;
    FILE* progress_;
    FILE* plan_;
    std::string remoteFolder_;  // "" or "/folder" of the image
    std::string imageName_;
    std::vector<std::string> written_;  // relative to the image's folder
    std::vector<std::vector<std::string>> releaseFiles_;
    std::vector<Published> files_;  // mandatory files first, then the engine's, then the modules'
    size_t mandatoryCount_ = 0;
    SigningKey signingKey_;
    std::map<std::string, Sha256Bytes> digests_;  // remote path: SHA-256 of the served bytes
};

}  // namespace

bool PublishSite(const std::string& manifestPath, const std::string& siteDirectory, const PublishOptions& options,
                 FILE* progress, FILE* plan, std::string* error) {
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
    Publisher publisher(manifest, options, progress, plan);
    if (publisher.Run(siteDirectory, &problem)) return true;
    *error = manifestPath + ":" + problem;
    return false;
}
