// halvorin-site: the publishers' tool. "publish" makes an update site from a manifest,
// "check" verifies a site against its image, "dump" shows an update image as the engine
// parses it, "fileid" prints the file Id and size of files to write into an image,
// "keygen" makes a key to sign sites with.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/file_id.h"
#include "common/image_model.h"
#include "engine/image_parser.h"
#include "tools/site/file_facts.h"
#include "tools/site/image_json.h"
#include "tools/site/image_warnings.h"
#include "tools/makepatch/tool_io.h"
#include "tools/site/publish.h"
#include "tools/site/site_crypto.h"
#include "tools/site/site_check.h"

namespace {

constexpr int kExitFailure = 2;

const char kUsage[] =
    "usage:\n"
    "  halvorin-site publish [--dry-run] [--force] MANIFEST SITE_DIR\n"
    "      Makes the update site that MANIFEST describes in SITE_DIR: the image where its\n"
    "      path says, and beside it the patches between releases and the compressed files.\n"
    "      Writes only into an empty or missing folder or one that publish made (it\n"
    "      replaces there only what it made before), never into or around the manifest's\n"
    "      or a release's folder. --dry-run lists what it would write, make and remove;\n"
    "      --force publishes into a folder that is not empty beside what it holds.\n"
    "  halvorin-site check [--codepage N] [--key KEY.pub] SITE_DIR IMAGE\n"
    "  halvorin-site check [--codepage N] [--key KEY.pub] http[s]://HOST[:PORT] /IMAGE_PATH\n"
    "      Reads the image as the engine reads it and checks that the site (a folder, or a\n"
    "      web site fetched as the engine fetches it) holds every file it names, as it\n"
    "      describes it, and that its patches fit together; every warning of dump is a\n"
    "      problem too. IMAGE is the image's path on the site (/myapp/image.txt) or, for a\n"
    "      folder, a file. The image's names are read in code page N (default: the one\n"
    "      the site's publish recorded, else 1252). A signed image must carry a valid\n"
    "      signature, and every file it names the SHA-256 it gives; with --key, the image\n"
    "      must be signed, by that key. Exits 1 when a problem is found.\n"
    "  halvorin-site dump IMAGE [--site S] [--user U] [--password P]\n"
    "      Parses the update image IMAGE as the engine does and prints the result as one\n"
    "      JSON object. The image starts with site S, user U and password P (empty by\n"
    "      default), as the engine's url, userName and userPassword properties would give.\n"
    "      Warnings about lines the engine passes over go to standard error.\n"
    "  halvorin-site fileid FILE...\n"
    "      Prints for every FILE its file Id, its size in bytes and its path, the values\n"
    "      a FILE line of the image expects.\n"
    "  halvorin-site keygen KEYFILE\n"
    "      Makes a key to sign sites with (\"sign KEYFILE\" in the manifest): the private\n"
    "      key in KEYFILE, readable by you only, and the public key, the line that the\n"
    "      application gives the engine as its publisherKey, in KEYFILE.pub. Never\n"
    "      overwrites a key.\n";

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

int UsageError(const char* problem) {
    if (problem) fprintf(stderr, "halvorin-site: %s\n", problem);
    fputs(kUsage, stderr);
    return kExitFailure;
}

void Warn(const std::string& path, const std::string& message) {
    fprintf(stderr, "halvorin-site: %s: warning: %s\n", path.c_str(), message.c_str());
}

int Dump(int argc, char** argv) {
    UpdateImage image;
    std::string path;
    bool havePath = false;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string* value = nullptr;
        if (arg == "--site") value = &image.site;
        if (arg == "--user") value = &image.userName;
        if (arg == "--password") value = &image.password;
        if (value) {
            if (i + 1 >= argc) return UsageError(("dump: " + arg + " needs a value").c_str());
            *value = argv[++i];
        } else if (arg.size() > 1 && arg[0] == '-') {
            return UsageError(("dump: unknown option " + arg).c_str());
        } else if (havePath) {
            return UsageError("dump: give one image only");
        } else {
            path = arg;
            havePath = true;
        }
    }
    if (!havePath) return UsageError("dump: no image given");

    FilePtr file(fopen(path.c_str(), "rb"));
    if (!file) {
        fprintf(stderr, "halvorin-site: cannot open image %s: %s\n", path.c_str(), strerror(errno));
        return kExitFailure;
    }
    std::vector<char> text(kImageReadLimit);
    const size_t length = fread(text.data(), 1, text.size(), file.get());
    if (ferror(file.get())) {
        fprintf(stderr, "halvorin-site: cannot read image %s: %s\n", path.c_str(), strerror(errno));
        return kExitFailure;
    }
    text.resize(length);
    if (length == kImageReadLimit && fgetc(file.get()) != EOF) {
        FileFacts facts;
        const std::string size = ReadFileFacts(file.get(), facts) ? std::to_string(facts.size) + " bytes" : "longer";
        Warn(path, "the image is " + size + ": the engine reads only its first 65535 bytes, the rest is cut off");
    }
    if (length == 0) Warn(path, "the image is empty: the engine reads nothing and keeps what it held");

    ImageWarnings warnings(std::string(text.begin(), text.end()));
    const size_t complete = CompleteImageLength(text.data(), text.size());
    if (complete < text.size()) warnings.NoteDroppedLine(complete);
    ParseImage(image, text.data(), complete, &warnings);
    warnings.CheckFileIds(image);
    for (const std::string& message : warnings.Messages()) Warn(path, message);

    const std::string json = ImageToJson(image);
    fwrite(json.data(), 1, json.size(), stdout);
    return fflush(stdout) == 0 ? 0 : kExitFailure;
}

// Prints "ID SIZE PATH"; false (with a message) when the file cannot be read.
bool PrintFileId(const char* path) {
    FilePtr file(fopen(path, "rb"));
    if (!file) {
        fprintf(stderr, "halvorin-site: cannot open %s: %s\n", path, strerror(errno));
        return false;
    }
    FileFacts facts;
    if (!ReadFileFacts(file.get(), facts)) {
        fprintf(stderr, "halvorin-site: cannot read the size and time of %s: %s\n", path, strerror(errno));
        return false;
    }
    if (!facts.regular) {
        fprintf(stderr, "halvorin-site: %s is not a regular file\n", path);
        return false;
    }
    // Like the engine, the sample is chosen by the low 32 bits of the size.
    StdioSampleSource source(file.get(), static_cast<uint32_t>(facts.size));
    const uint32_t checksum = ChecksumSample(source);
    if (source.Failed()) {
        fprintf(stderr, "halvorin-site: cannot read %s (did it change while it was read?)\n", path);
        return false;
    }
    if (facts.size > 0xFFFFFFFFu) {
        fprintf(stderr, "halvorin-site: %s: warning: 4 GiB or larger; the engine sees only the low 32 bits of its size\n",
                path);
    }
    printf("%s %llu %s\n", FormatFileId(checksum, UtcMinute(facts.lastWrite)).c_str(),
           static_cast<unsigned long long>(facts.size), path);
    return true;
}

int FileIds(int argc, char** argv) {
    if (argc == 0) return UsageError("fileid: no file given");
    bool allRead = true;
    for (int i = 0; i < argc; ++i) allRead = PrintFileId(argv[i]) && allRead;
    if (fflush(stdout) != 0) return kExitFailure;
    return allRead ? 0 : kExitFailure;
}

int Publish(int argc, char** argv) {
    PublishOptions options;
    std::vector<std::string> paths;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--dry-run") {
            options.dryRun = true;
        } else if (arg == "--force") {
            options.force = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return UsageError(("publish: unknown option " + arg).c_str());
        } else {
            paths.push_back(arg);
        }
    }
    if (paths.size() != 2) return UsageError("publish takes MANIFEST SITE_DIR");
    std::string error;
    if (PublishSite(paths[0], paths[1], options, stderr, stdout, &error)) return 0;
    fprintf(stderr, "halvorin-site: %s\n", error.c_str());
    return kExitFailure;
}

int Check(int argc, char** argv) {
    CheckOptions options;
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--codepage") {
            char* end = nullptr;
            options.codePage = i + 1 < argc ? static_cast<unsigned>(strtoul(argv[i + 1], &end, 10)) : 0;
            if (options.codePage == 0 || *end != '\0') return UsageError("check: --codepage takes a code page number");
            ++i;
        } else if (arg == "--key") {
            std::vector<uint8_t> bytes;
            if (i + 1 >= argc) return UsageError("check: --key takes the .pub file of a key");
            if (!ReadInputFile(argv[++i], &bytes) ||
                !ParsePublicKeyText(std::string(bytes.begin(), bytes.end()), &options.publisherKey)) {
                fprintf(stderr, "halvorin-site: %s is not a public key file that keygen wrote\n", argv[i]);
                return kExitFailure;
            }
            options.keyGiven = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return UsageError(("check: unknown option " + arg).c_str());
        } else {
            arguments.push_back(arg);
        }
    }
    if (arguments.size() != 2) return UsageError("check takes SITE IMAGE");
    const size_t problems = CheckSite(arguments[0], arguments[1], options, stdout);
    if (problems == 0) printf("halvorin-site: %s: no problems\n", arguments[1].c_str());
    return problems == 0 ? 0 : 1;
}

int KeyGen(int argc, char** argv) {
    if (argc != 1) return UsageError("keygen takes KEYFILE");
    std::string publicLine, error;
    if (!WriteNewKey(argv[0], &publicLine, &error)) {
        fprintf(stderr, "halvorin-site: %s\n", error.c_str());
        return kExitFailure;
    }
    printf("%s\n", publicLine.c_str());
    fprintf(stderr, "halvorin-site: private key in %s (keep it off the site), public key in %s.pub\n", argv[0], argv[0]);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return UsageError(nullptr);
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        fputs(kUsage, stdout);
        return 0;
    }
    if (command == "dump") return Dump(argc - 2, argv + 2);
    if (command == "publish") return Publish(argc - 2, argv + 2);
    if (command == "check") return Check(argc - 2, argv + 2);
    if (command == "fileid") return FileIds(argc - 2, argv + 2);
    if (command == "keygen") return KeyGen(argc - 2, argv + 2);
    return UsageError(("unknown command " + command).c_str());
}
