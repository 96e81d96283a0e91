#include "tools/site/site_install.h"

#include <filesystem>
#include <system_error>

#include "tools/makepatch/tool_io.h"
#include "tools/site/site_files.h"

namespace fs = std::filesystem;

namespace {

constexpr char kMarkHeader[] = "halvorin-site 1";

// The path made absolute and free of "." and "..", whether it exists or not.
fs::path Normal(const std::string& path) {
    std::error_code error;
    fs::path absolute = fs::weakly_canonical(fs::absolute(FsPath(path), error), error);
    return absolute.lexically_normal();
}

// Whether inner is outer or lies somewhere inside it.
bool Within(const fs::path& inner, const fs::path& outer) {
    auto i = inner.begin();
    for (auto o = outer.begin(); o != outer.end(); ++o, ++i) {
        if (o->empty()) continue;  // a trailing separator
        if (i == inner.end() || *i != *o) return false;
    }
    return true;
}

// Every file below root, relative to it with '/' between parts.
std::set<std::string> FilesBelow(const std::string& root) {
    std::set<std::string> files;
    std::error_code error;
    const fs::path base = FsPath(root);
    for (fs::recursive_directory_iterator it(base, error), end; !error && it != end; it.increment(error)) {
        if (!it->is_directory(error)) files.insert(Utf8Of(it->path().lexically_relative(base)));
    }
    return files;
}

bool ReadMark(const std::string& path, std::set<std::string>* files) {
    std::vector<uint8_t> bytes;
    if (!ReadInputFile(path, &bytes)) return false;
    const std::string text(bytes.begin(), bytes.end());
    size_t start = 0;
    bool first = true;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (first) {
            if (line != kMarkHeader) return false;
            first = false;
            continue;
        }
        if (line.compare(0, 9, "codepage ") == 0) continue;
        if (line.compare(0, 5, "file ") != 0) return false;
        const std::string file = line.substr(5);
        // A listed name never leaves the folder.
        if (file.empty() || file[0] == '/' || file.find("..") != std::string::npos || file.find('\\') != std::string::npos) {
            return false;
        }
        files->insert(file);
    }
    return !first;
}

// Removes the file and the folders it leaves empty, up to root.
void RemoveWithEmptyParents(const std::string& root, const std::string& relative) {
    std::error_code error;
    fs::path path = FsPath(root + "/" + relative);
    fs::remove(path, error);
    const fs::path base = FsPath(root);
    for (path = path.parent_path(); path != base && Within(path, base); path = path.parent_path()) {
        if (!fs::is_empty(path, error) || !fs::remove(path, error)) break;
    }
}

}  // namespace

bool PlanPlacement(const std::string& siteDirectory, const std::string& target, const std::string& manifestDirectory,
                   const std::vector<std::string>& releaseDirectories, bool force, SitePlacement* placement,
                   std::string* error) {
    placement->target = target;
    const fs::path site = Normal(siteDirectory);
    const fs::path folder = Normal(target);
    if (Within(Normal(manifestDirectory), site)) {
        *error = "the site folder " + siteDirectory + " is or holds the manifest's folder: publishing there could " +
                 "destroy what the site is made from";
        return false;
    }
    for (const std::string& release : releaseDirectories) {
        const fs::path releaseFolder = Normal(release);
        const bool holds = Within(releaseFolder, site);
        if (holds || Within(folder, releaseFolder)) {
            *error = "the site folder " + (holds ? siteDirectory + " is or holds" : target + " lies inside") +
                     " the release folder " + release + ": a site and a release must stay apart";
            return false;
        }
    }
    if (!PathExists(target)) return true;
    if (!IsDirectory(target)) {
        *error = target + " is not a folder";
        return false;
    }
    std::set<std::string> present = FilesBelow(target);
    std::error_code ignored;
    placement->exists = !fs::is_empty(FsPath(target), ignored);
    if (!placement->exists) return true;
    if (present.erase(kSiteMark)) {
        if (!ReadMark(target + "/" + kSiteMark, &placement->madeBefore)) {
            *error = "the mark " + target + "/" + kSiteMark + " cannot be read; remove it to publish there again";
            return false;
        }
        placement->marked = true;
    } else if (!force) {
        *error = "the folder " + target + " is not empty and no site that publish made; " +
                 "publish into an empty folder, or add --force to publish beside what it holds";
        return false;
    }
    for (const std::string& file : present) {
        if (!placement->madeBefore.count(file)) placement->foreign.insert(file);
    }
    return true;
}

std::string SiteMarkText(const std::set<std::string>& files, unsigned codePage) {
    std::string text = std::string(kMarkHeader) + "\ncodepage " + std::to_string(codePage) + "\n";
    for (const std::string& file : files) text += "file " + file + "\n";
    return text;
}

bool PlaceSite(const std::string& partial, const SitePlacement& placement, const std::set<std::string>& files,
               const std::string& image, std::string* error) {
    const std::string& target = placement.target;
    const size_t slash = target.find_last_of("/\\");
    if (slash != std::string::npos && slash > 0) MakeDirectories(target.substr(0, slash));
    if (!placement.exists || placement.foreign.empty()) {
        // The old site, if any, moves aside, the new one takes its place in one rename.
        const std::string old = partial + ".old";
        if (PathExists(target) && !RenamePath(target, old)) {
            *error = "cannot move the old site " + target + " aside";
            return false;
        }
        if (!RenamePath(partial, target)) {
            if (PathExists(old)) RenamePath(old, target);
            *error = "cannot move " + partial + " to " + target;
            return false;
        }
        RemoveTree(old);
        return true;
    }
    // Beside files publish did not make: the new files first, the image after them (a
    // client never reads an image whose files are not there yet), the mark last.
    std::vector<std::string> order;
    for (const std::string& file : files) {
        if (file != image) order.push_back(file);
    }
    order.push_back(image);
    order.push_back(kSiteMark);
    for (const std::string& file : order) {
        const std::string to = target + "/" + file;
        MakeDirectories(to.substr(0, to.find_last_of('/')));
        if (!ReplacePath(partial + "/" + file, to)) {
            *error = "cannot put " + file + " into " + target;
            return false;
        }
    }
    for (const std::string& file : placement.madeBefore) {
        if (!files.count(file)) RemoveWithEmptyParents(target, file);
    }
    RemoveTree(partial);
    return true;
}
