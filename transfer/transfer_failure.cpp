#include "transfer/transfer_failure.h"

#include "common/message_texts.h"
#include "common/resource_ids.h"

namespace {

// A failure told by a message text with the code in its caption; the report text and
// the log line (the same text on a line of its own) take the same two arguments.
Failure CodedFailure(unsigned code, int textId, const char* report, const std::string& first,
                     const std::string& second = std::string()) {
    Failure failure = MakeFailure(FormatMessageText(textId, first.c_str(), second.c_str()), true, code);
    failure.reportText = FormatText(report, first.c_str(), second.c_str());
    failure.logText = "\r\n" + failure.reportText;
    return failure;
}

}  // namespace

Failure DescribeHttpFailure(const HttpError& error, const std::string& path, const std::string& site,
                            bool imageFetch) {
    switch (error.step) {
    case HttpStep::kConnect:
        return CodedFailure(error.code, IDS_CANNOT_OPEN_SITE, "Could not open site %s.", site);
    case HttpStep::kOpenRequest:
        return CodedFailure(error.code, IDS_CANNOT_GET_FILE, "Could not GET file %s from site %s.", path, site);
    case HttpStep::kSendRequest:
        if (imageFetch) {
            return CodedFailure(error.code, IDS_CANNOT_GET_FILE, "Could not GET file %s from site %s.", path, site);
        }
        return CodedFailure(error.code, IDS_CANNOT_SEND_REQUEST, "Failed to send GET request for file %s on site %s.",
                            path, site);
    case HttpStep::kCertificate:
        return CodedFailure(error.code, IDS_UNTRUSTED_SITE,
                            "File %s could not be downloaded from site %s: the site's certificate was refused.", path,
                            site);
    case HttpStep::kInsecure:
        return CodedFailure(error.code, IDS_UNTRUSTED_SITE,
                            "File %s could not be downloaded from site %s: the secure site redirected it to an insecure "
                            "address.",
                            path, site);
    case HttpStep::kCut:
        return CodedFailure(error.code, IDS_CANNOT_DOWNLOAD,
                            "File %s could not be downloaded from site %s: the connection broke before the end.", path,
                            site);
    default:
        return CodedFailure(error.code, IDS_CANNOT_DOWNLOAD, "File %s could not be downloaded from site %s.", path,
                            site);
    }
}
