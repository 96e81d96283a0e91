#include "tools/site/site_check.h"

#include <map>
#include <vector>

#include "common/file_id.h"
#include "engine/image_parser.h"
#include "engine/image_text.h"
#include "patchlib/patch_format.h"
#include "patchlib/patch_path.h"
#include "patchlib/sha256.h"
#include "tools/makepatch/tool_io.h"
#include "tools/site/site_reader.h"
#include "tools/site/szdd.h"

namespace {

struct CheckedStep {
    size_t line;
    int32_t from;
    int32_t to;
    std::vector<uint8_t> bytes;  // the patch file; contents point into it
    PatchContents contents;
};

class SiteChecker {
public:
    SiteChecker(const std::string& site, const std::string& image, FILE* out) : site_(site), image_(image), out_(out) {}

    size_t Run() {
        std::vector<uint8_t> bytes;
        const bool read = IsSiteAddress(site_) ? ReadSiteFile(site_, image_, &bytes) : ReadInputFile(image_, &bytes);
        if (!read) {
            Problem(0, "cannot read the image");
            return problems_;
        }
        if (bytes.size() > kImageReadLimit) {
            Problem(0, "the image is " + std::to_string(bytes.size()) + " bytes; the engine reads only the first " +
                           std::to_string(kImageReadLimit));
        }
        const std::string text(bytes.begin(), bytes.end());
        size_t number = 0;
        for (size_t start = 0; start < text.size();) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos) end = text.size();
            std::string line = text.substr(start, end - start);
            start = end + 1;
            ++number;
            const size_t comment = line.find('\'');
            if (comment != std::string::npos) line.resize(comment);
            CheckLine(TrimImageText(line), number);
        }
        CheckChain();
        return problems_;
    }

private:
    void Problem(size_t line, const std::string& text) {
        fprintf(out_, "%s:%s %s\n", image_.c_str(), line ? (std::to_string(line) + ":").c_str() : "", text.c_str());
        ++problems_;
    }

    void CheckLine(const std::string& line, size_t number) {
        if (!line.empty() && line[0] == '[') {
            // The engine reads the first word of this list that a header holds.
            const char* const kSections[] = {"Patches", "Mandatory", "Modules", "Base URL", "Base Auth", "Halvorin"};
            engineSection_ = false;
            for (const char* section : kSections) {
                if (FindNoCase(line, section) >= 0) {
                    engineSection_ = std::string(section) == "Halvorin";
                    break;
                }
            }
            return;
        }
        ImageFileEntry entry;
        if (FindNoCase(line, "FILE") == 0 && ParseFileLine(line, entry)) {
            CheckFile(entry, number);
            return;
        }
        std::vector<std::string> fields;
        if (MatchLinePattern("FROM V$ TO V$ $ $", ProtectQuotedBlanks(line), fields)) {
            CheckedStep step{number, ReadImageInt32(fields[0]), ReadImageInt32(fields[1]), {}, {}};
            const std::string remote = RestoreQuotedBlanks(fields[2]);
            const uint32_t size = ReadImageUInt32(RestoreQuotedBlanks(fields[3]));
            if (!Fetch(remote, size, number, &step.bytes)) return;
            if (ReadPatch(step.bytes.data(), step.bytes.size(), &step.contents) != PatchReadStatus::kOk) {
                Problem(number, remote + " is not a sound patch file");
                return;
            }
            steps_.push_back(std::move(step));
        }
    }

    // The file behind a remote path, of the size the line gives.
    bool Fetch(const std::string& remote, uint32_t size, size_t line, std::vector<uint8_t>* bytes) {
        if (!ReadSiteFile(site_, remote, bytes)) {
            Problem(line, remote + " is missing from the site");
            return false;
        }
        if (bytes->size() != size) {
            Problem(line, remote + " is " + std::to_string(bytes->size()) + " bytes; the line says " +
                              std::to_string(size));
            return false;
        }
        return true;
    }

    void CheckFile(const ImageFileEntry& entry, size_t line) {
        std::vector<uint8_t> compressed, expanded;
        if (!Fetch(entry.remotePath, entry.downloadSize, line, &compressed)) return;
        // The engine's own files are served as they are; every other file compressed.
        if (engineSection_) {
            expanded = compressed;
        } else if (!ExpandSzdd(compressed, &expanded)) {
            Problem(line, entry.remotePath + " is not a compressed file the engine can expand");
            return;
        }
        if (expanded.size() != entry.expectedSize) {
            Problem(line, entry.remotePath + " expands to " + std::to_string(expanded.size()) +
                              " bytes; the line says " + std::to_string(entry.expectedSize));
            return;
        }
        const std::string id = FormatFileId(ChecksumBytes(expanded.data(), expanded.size()), 0);
        if (!FileIdsMatch(id, entry.fileId)) {
            Problem(line, entry.remotePath + " has the file Id " + id.substr(2) + " (after the minute digits); the line says " +
                              entry.fileId);
            return;
        }
        std::string path = entry.localPath;
        for (char& c : path) c = c == '\\' ? '/' : c;
        installed_[FoldPatchPath(path)] = {line, Sha256::Of(expanded.data(), expanded.size())};
    }

    // Each step must start from the files that the step before it leaves, and the steps
    // that reach the newest version must leave the files the image installs.
    void CheckChain() {
        int32_t newest = 0;
        for (const CheckedStep& step : steps_) newest = step.to > newest ? step.to : newest;
        for (const CheckedStep& step : steps_) {
            for (const CheckedStep& next : steps_) {
                if (next.from != step.to) continue;
                for (const PatchEntry& before : step.contents.entries) {
                    if (before.kind == EntryKind::kDelete) continue;
                    for (const PatchEntry& after : next.contents.entries) {
                        if (after.kind != EntryKind::kAdd && FoldPatchPath(after.path) == FoldPatchPath(before.path) &&
                            after.oldHash != before.newHash) {
                            Problem(next.line, "the patch expects " + after.path + " other than the patch of line " +
                                                   std::to_string(step.line) + " leaves it");
                        }
                    }
                }
            }
            if (step.to != newest) continue;
            for (const PatchEntry& entry : step.contents.entries) {
                auto found = installed_.find(FoldPatchPath(entry.path));
                if (entry.kind != EntryKind::kDelete && found != installed_.end() && found->second.second != entry.newHash) {
                    Problem(step.line, "the patch leaves " + entry.path + " other than the file of line " +
                                           std::to_string(found->second.first));
                }
            }
        }
    }

    std::string site_;
    std::string image_;
    FILE* out_;
    size_t problems_ = 0;
    bool engineSection_ = false;
    std::vector<CheckedStep> steps_;
    std::map<std::string, std::pair<size_t, Sha256Digest>> installed_;  // folded local path: line, content
};

}  // namespace

size_t CheckSite(const std::string& siteDirectory, const std::string& imagePath, FILE* out) {
    return SiteChecker(siteDirectory, imagePath, out).Run();
}
