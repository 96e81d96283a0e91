// The parsed update image: patch steps, mandatory files, deletions, engine files and modules.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/image_seal.h"

// A calendar time laid out field for field like the Windows SYSTEMTIME, so that the
// image model needs no Windows header; converted at the Windows boundary.
struct ImageTime {
    uint16_t year = 0;
    uint16_t month = 0;
    uint16_t dayOfWeek = 0;
    uint16_t day = 0;
    uint16_t hour = 0;
    uint16_t minute = 0;
    uint16_t second = 0;
    uint16_t milliseconds = 0;
};
static_assert(sizeof(ImageTime) == 16, "ImageTime must match SYSTEMTIME");

// One FILE line of the image; also the request record of a download.
struct ImageFileEntry {
    std::string site;
    std::string userName;
    std::string password;
    std::string remotePath;  // on the site, '/' separators
    std::string localPath;   // on the client, '\' separators; may start with %SYSTEM%
    uint32_t expectedSize = 0;
    uint32_t downloadSize = 0;
    std::string flags;   // free text holding "[exec]" / "[exec_always]"
    std::string fileId;  // expected file Id, empty in the seven-field form
    ImageTime timestamp;
};

// One "FROM V$ TO V$ $ $" line.
struct ImagePatchStep {
    std::string site;
    std::string userName;
    std::string password;
    std::string remotePath;
    int32_t fromVersion = 0;
    int32_t toVersion = 0;
    uint32_t downloadSize = 0;
};

struct ImageModule {
    std::string name;
    std::string description;
    std::vector<ImageFileEntry> files;
};

struct UpdateImage {
    // The image's VERSION: the number of its first header ("[VERSION n]"), or the last one
    // of "[VERSION n TO m]"; 0 while no image was read.
    int32_t version = 0;
    std::string site;
    std::string imagePath;
    std::string userName;
    std::string password;
    std::string currentModuleName;
    std::string currentModuleDescription;
    std::vector<ImagePatchStep> patchSteps;
    std::vector<ImageFileEntry> mandatoryFiles;
    std::vector<ImageFileEntry> engineFiles;
    std::vector<std::string> deleteFiles;
    // std::string orders byte-wise (as unsigned char) and case-sensitively.
    std::map<std::string, ImageModule> modules;
    // The seal of a signed image, as its text gives it; trusted only once its signature
    // has been checked against the publisher's key.
    ImageSeal seal;
};
