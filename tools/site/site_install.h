// Where publish puts a site, and what it may replace there. A folder that publish made
// holds a mark, ".halvorin-site", that lists every file publish wrote into it; the next
// publish replaces those and removes the ones it no longer makes, and leaves every other
// file of the folder (an administrator's own) as it is. A folder that is neither empty
// nor marked is refused unless forced; a folder that is, holds or lies in a release
// folder, or is or holds the manifest's folder, is always refused.
#pragma once
#include <cstdio>
#include <set>
#include <string>
#include <vector>

// The name of the mark in the folder publish made.
constexpr char kSiteMark[] = ".halvorin-site";

struct SitePlacement {
    std::string target;              // the folder the image and its files go to
    bool exists = false;             // the folder is there, with something in it
    bool marked = false;             // ... and publish made it
    std::set<std::string> madeBefore;  // files the mark lists, relative to target, '/' between parts
    std::set<std::string> foreign;     // files that publish did not make (with force, or none)
};

// Looks at target, the image's folder in the site folder siteDirectory: false with
// *error saying why publish must not write there (a site folder that is or holds the
// manifest's or a release's folder, a target inside a release's folder, an unmarked
// target that is not empty without force, a mark that cannot be read).
bool PlanPlacement(const std::string& siteDirectory, const std::string& target, const std::string& manifestDirectory,
                   const std::vector<std::string>& releaseDirectories, bool force, SitePlacement* placement,
                   std::string* error);

// The mark's text for the files publish writes (relative paths, '/' between parts) and the
// code page of the image's names: "halvorin-site 1", "codepage N", then "file PATH" lines.
std::string SiteMarkText(const std::set<std::string>& files, unsigned codePage);

// Puts the site built in partial (which holds the files and the mark) into place: the
// whole folder at once when the target is missing or holds only what publish made
// before; otherwise file by file, the image and the mark last, then the files publish
// made before and makes no more are removed. partial is gone afterwards. image: the
// image's path relative to the target.
bool PlaceSite(const std::string& partial, const SitePlacement& placement, const std::set<std::string>& files,
               const std::string& image, std::string* error);
