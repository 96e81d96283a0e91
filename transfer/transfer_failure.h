// How a GET that failed is told: the message box (text and caption code), the English text
// of the error report and the log line, the same for the image and for every file.
#pragma once
#include <string>

#include "common/diagnostics.h"
#include "transfer/http_get.h"

// A GET of path from site that failed at error.step. The image fetch tells a request that
// could not be sent like one that could not be opened (the box "Could not GET file"); a
// file download tells the two apart. A sink's own failure (kSink) is the sink's to tell.
Failure DescribeHttpFailure(const HttpError& error, const std::string& path, const std::string& site,
                            bool imageFetch);
