// halvorin-site publish: an update site made from the publisher's manifest (manifest.h).
// The site directory gets the image, a patch for each consecutive pair of releases (and
// the direct ones asked for), made by the patch library, and every mandatory, engine and
// module file compressed for the engine's expansion. All or nothing: the site is built
// beside the target and renamed into its place; a bad manifest writes nothing.
#pragma once
#include <cstdio>
#include <string>

// True when siteDirectory holds the new site (an old one there is replaced). Progress
// lines go to progress (may be null). On failure *error says what, "MANIFEST:LINE: ..."
// where a line is to blame, and nothing was written.
bool PublishSite(const std::string& manifestPath, const std::string& siteDirectory, FILE* progress,
                 std::string* error);
