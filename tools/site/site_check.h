// halvorin-site check: whether a site holds what its image names, read exactly as the
// engine reads it (the engine's own parser). Every warning that dump gives is a problem
// here. For every FILE line the engine takes: the file exists on the site the line is
// fetched from, its size is the line's transfer size, it expands (engine files are served
// as they are), and the expanded file has the line's size and file Id. For every patch
// step: the file exists, has the line's size and is a sound patch; each step starts from
// the files the step before it leaves, and the steps to the newest version leave the
// files the image installs. A DELETE FILE line may not name a file the image installs.
// A signed image must carry a valid signature that lies within what the engine reads and
// has not expired, and every file it names must have the SHA-256 its seal gives.
#pragma once
#include <cstdio>
#include <string>

#include "common/image_seal.h"

struct CheckOptions {
    // The code page the image's names are written in; 0: the one the site's mark records
    // (publish writes it), else 1252.
    unsigned codePage = 0;
    // --key: the image must be signed, by this key.
    bool keyGiven = false;
    PublicKeyBytes publisherKey{};
};

// The site is a folder, or a web site "http://host[:port]" or "https://host[:port]" whose
// files are fetched as the engine fetches them. IMAGE is the image's path on the site
// ("/myapp/image.txt"), or, for a folder, also a file path. Prints each problem as
// "IMAGE:LINE: problem" (or "IMAGE: problem") to out; returns how many there were.
size_t CheckSite(const std::string& site, const std::string& image, const CheckOptions& options, FILE* out);
