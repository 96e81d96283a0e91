// halvorin-site check: whether a site directory holds what its image names. For every
// FILE line: the file exists, its size is the line's transfer size, it expands, and the
// expanded file has the line's size and file Id. For every patch step: the file exists,
// has the line's size and is a sound patch; each step starts from the files the step
// before it leaves, and the steps to the newest version leave the files the image installs.
#pragma once
#include <cstdio>
#include <string>

// The site is a directory (IMAGE a file), or a web site "http://host" or
// "https://host[:port]" (IMAGE the image's path on it), whose files are then fetched as
// the engine fetches them. Prints each problem as "IMAGE:LINE: problem" to out; returns how
// many there were.
size_t CheckSite(const std::string& siteDirectory, const std::string& imagePath, FILE* out);
