// halvorin-site publish: an update site made from the publisher's manifest (manifest.h).
// The image goes where the manifest's image path says, and its patches (one for each
// consecutive pair of releases, and the direct ones asked for, made by the patch library),
// its compressed mandatory and module files and the engine's own files go beside it
// (patches/, files/, modules/, engine/ in the image's folder), so one host can serve
// several applications. Names in the image are written in the clients' code page. The
// site is built beside its folder and put in place at the end (site_install.h says where
// publish may write and what it may replace); a bad manifest writes nothing.
#pragma once
#include <cstdio>
#include <string>

struct PublishOptions {
    bool dryRun = false;  // say what would be written and made, write nothing
    bool force = false;   // publish into a folder that is not empty and not a site publish made
};

// True when the site is in place (or, dry, would be). Progress lines go to progress (may
// be null); a dry run lists every file it would write, make or remove on plan. On failure
// *error says what, "MANIFEST:LINE: ..." where a line is to blame, and nothing was written.
bool PublishSite(const std::string& manifestPath, const std::string& siteDirectory, const PublishOptions& options,
                 FILE* progress, FILE* plan, std::string* error);
