#include "tools/site/site_check.h"

#include <algorithm>
#include <ctime>
#include <map>
#include <vector>

#include "common/file_id.h"
#include "engine/image_parser.h"
#include "engine/image_text.h"
#include "patchlib/patch_format.h"
#include "patchlib/patch_path.h"
#include "patchlib/sha256.h"
#include "tools/makepatch/tool_io.h"
#include "tools/site/code_page.h"
#include "tools/site/image_warnings.h"
#include "tools/site/site_crypto.h"
#include "tools/site/site_files.h"
#include "tools/site/site_install.h"
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

// The dump's warnings, and the line of every entry the engine takes, list by list.
class CheckListener : public ImageWarnings {
public:
    using ImageWarnings::ImageWarnings;
    void OnNote(const ImageNote& note) override {
        ImageWarnings::OnNote(note);
        if (note.kind != ImageNoteKind::kEntryRead) return;
        const size_t line = LineAt(note.offset);
        switch (note.entry) {
        case ImageEntryKind::kPatchStep: patchLines.push_back(line); break;
        case ImageEntryKind::kMandatoryFile: mandatoryLines.push_back(line); break;
        case ImageEntryKind::kDeleteFile: deleteLines.push_back(line); break;
        case ImageEntryKind::kEngineFile: engineLines.push_back(line); break;
        case ImageEntryKind::kModuleFile: moduleLines[note.module].push_back(line); break;
        case ImageEntryKind::kNone: break;
        }
    }
    std::vector<size_t> patchLines, mandatoryLines, deleteLines, engineLines;
    std::map<std::string, std::vector<size_t>> moduleLines;
};

// A local path of the image compared as the patch library compares names.
std::string Folded(std::string path) {
    std::replace(path.begin(), path.end(), '\\', '/');
    return FoldPatchPath(path);
}

class SiteChecker {
public:
    SiteChecker(const std::string& site, const std::string& image, const CheckOptions& options, FILE* out)
        : site_(site), image_(image), codePage_(options.codePage), out_(out), keyGiven_(options.keyGiven),
          key_(options.publisherKey) {}

    size_t Run() {
        std::vector<uint8_t> bytes;
        if (!ReadImage(&bytes)) return problems_;
        if (bytes.empty()) {
            Problem(0, "the image is empty: the engine reads nothing from it");
            return problems_;
        }
        CheckSeal(bytes);
        if (bytes.size() > kImageReadLimit) {
            Problem(0, "the image is " + std::to_string(bytes.size()) + " bytes; the engine reads only the first " +
                           std::to_string(kImageReadLimit));
            bytes.resize(kImageReadLimit);
        }
        std::vector<char> text(bytes.begin(), bytes.end());
        CheckListener listener(std::string(text.begin(), text.end()));
        const size_t complete = CompleteImageLength(text.data(), text.size());
        if (complete < text.size()) listener.NoteDroppedLine(complete);
        UpdateImage image;
        image.site = engineSite_;
        ParseImage(image, text.data(), complete, &listener);
        listener.CheckFileIds(image);
        for (const ImageWarnings::Item& item : listener.Items()) Problem(item.line, item.message);

        for (size_t i = 0; i < image.patchSteps.size(); ++i) CheckStep(image.patchSteps[i], LineOf(listener.patchLines, i));
        for (size_t i = 0; i < image.mandatoryFiles.size(); ++i) {
            CheckFile(image.mandatoryFiles[i], LineOf(listener.mandatoryLines, i), true, false);
        }
        for (size_t i = 0; i < image.engineFiles.size(); ++i) {
            CheckFile(image.engineFiles[i], LineOf(listener.engineLines, i), false, true);
        }
        for (const auto& module : image.modules) {
            const std::vector<size_t>& lines = listener.moduleLines[module.first];
            for (size_t i = 0; i < module.second.files.size(); ++i) {
                CheckFile(module.second.files[i], LineOf(lines, i), false, false);
            }
        }
        CheckDeletions(image, listener);
        CheckChain();
        return problems_;
    }

private:
    static size_t LineOf(const std::vector<size_t>& lines, size_t index) {
        return index < lines.size() ? lines[index] : 0;
    }

    void Problem(size_t line, const std::string& text) {
        fprintf(out_, "%s:%s %s\n", image_.c_str(), line ? (std::to_string(line) + ":").c_str() : "", text.c_str());
        ++problems_;
    }

    // The signature of a signed image, as a client with its key checks it; and with
    // --key, that there is one, by that key.
    void CheckSeal(const std::vector<uint8_t>& bytes) {
        const char* text = reinterpret_cast<const char*>(bytes.data());
        ReadImageSeal(text, bytes.size(), &seal_);
        if (!seal_.present) {
            if (keyGiven_) Problem(0, "the image is not signed: a client with the key refuses it");
            return;
        }
        if (!seal_.problem.empty()) {
            Problem(0, "the seal cannot be read: " + seal_.problem);
            return;
        }
        checkDigests_ = true;
        size_t lineEnd = seal_.signedLength;
        while (lineEnd < bytes.size() && text[lineEnd] != '\r' && text[lineEnd] != '\n') ++lineEnd;
        if (lineEnd > kImageReadLimit) {
            Problem(0, "the signature ends at byte " + std::to_string(lineEnd) + ", past the " +
                           std::to_string(kImageReadLimit) + " the engine reads: a client with the key refuses the image");
        }
        Sha256Bytes hash;
        if (!ToolSha256(text, seal_.signedLength, &hash) || !ToolVerify(seal_.signer, hash, seal_.signature)) {
            Problem(0, "the signature does not match the image: it was changed after it was signed");
        } else if (keyGiven_ && seal_.signer != key_) {
            Problem(0, "the image is signed with another key than the one given");
        }
        if (seal_.expires && static_cast<int64_t>(time(nullptr)) > seal_.expiresAt) {
            Problem(0, "the signature expired on " + SealTimeText(seal_.expiresAt) + ": a client with the key refuses the image");
        }
    }

    // A file of a signed image must have the SHA-256 its seal gives.
    void CheckDigest(const std::string& remote, const std::vector<uint8_t>& bytes, size_t line) {
        if (!checkDigests_) return;
        const auto expected = seal_.digests.find(remote);
        Sha256Bytes actual;
        if (expected == seal_.digests.end()) {
            Problem(line, "the signed image gives no SHA-256 for " + remote + ": a client with the key refuses it");
        } else if (!ToolSha256(bytes.data(), bytes.size(), &actual) || actual != expected->second) {
            Problem(line, remote + " is not the file the image was signed with (its SHA-256 differs)");
        }
    }

    // Finds the image as the arguments name it, and the code page its names are in.
    bool ReadImage(std::vector<uint8_t>* bytes) {
        if (IsSiteAddress(image_)) {
            Problem(0, "this is a web address: to check a web site, give the site and the image's path on it "
                       "(check http://HOST /PATH)");
            return false;
        }
        std::string folder;
        if (IsSiteAddress(site_)) {
            if (image_.empty() || image_[0] != '/') {
                Problem(0, "on a web site the image is given by its path there, such as /myapp/image.txt");
                return false;
            }
            // What the engine's url property would hold for this site.
            engineSite_ = site_.compare(0, 8, "https://") == 0 ? site_ : site_.substr(site_.find("//") + 2);
            if (!engineSite_.empty() && engineSite_.back() == '/') engineSite_.pop_back();
            if (!ReadSiteFile(site_, image_, bytes)) {
                Problem(0, "cannot read the image from " + site_);
                return false;
            }
        } else {
            if (!IsDirectory(site_)) {
                Problem(0, "the site folder " + site_ + " does not exist");
                return false;
            }
            const std::string onSite = site_ + (image_.empty() || image_[0] != '/' ? "/" : "") + image_;
            const std::string path = PathExists(onSite) && !IsDirectory(onSite) ? onSite : image_;
            if (!ReadInputFile(path, bytes)) {
                Problem(0, "cannot read the image: it is neither a file of the site " + site_ + " nor a file here");
                return false;
            }
            folder = path.substr(0, path.find_last_of("/\\") == std::string::npos ? 0 : path.find_last_of("/\\"));
        }
        if (codePage_ == 0) codePage_ = MarkedCodePage(folder);
        return true;
    }

    // The code page a site that publish made records in its mark, else the usual one.
    static unsigned MarkedCodePage(const std::string& folder) {
        std::vector<uint8_t> mark;
        if (!folder.empty() && ReadInputFile(folder + "/" + kSiteMark, &mark)) {
            const std::string text(mark.begin(), mark.end());
            const size_t at = text.find("\ncodepage ");
            if (at != std::string::npos) return static_cast<unsigned>(strtoul(text.c_str() + at + 10, nullptr, 10));
        }
        return kDefaultCodePage;
    }

    // The site an entry is fetched from: this one, or the one a BASE URL named.
    bool SiteOf(const std::string& entrySite, size_t line, const std::string& remote, std::string* site) {
        if (entrySite == engineSite_) {
            *site = site_;
            return true;
        }
        if (!IsSiteAddress(site_)) {
            Problem(line, remote + " is fetched from the site " + entrySite + " (BASE URL), not from this folder: " +
                              "check it there");
            return false;
        }
        *site = IsSiteAddress(entrySite) ? entrySite : "http://" + entrySite;
        return true;
    }

    // The file behind a remote path, of the size the line gives.
    bool Fetch(const std::string& entrySite, const std::string& remote, uint32_t size, size_t line,
               std::vector<uint8_t>* bytes) {
        std::string site;
        if (!SiteOf(entrySite, line, remote, &site)) return false;
        switch (ReadSiteFileChecked(site, remote, bytes)) {
        case SiteRead::kOutside:
            Problem(line, remote + " names a file outside the site");
            return false;
        case SiteRead::kMissing:
            Problem(line, remote + " is missing from the site");
            return false;
        case SiteRead::kRead:
            break;
        }
        CheckDigest(remote, *bytes, line);
        if (bytes->size() != size) {
            Problem(line, remote + " is " + std::to_string(bytes->size()) + " bytes; the line says " +
                              std::to_string(size));
            return false;
        }
        return true;
    }

    void CheckStep(const ImagePatchStep& entry, size_t line) {
        CheckedStep step{line, entry.fromVersion, entry.toVersion, {}, {}};
        if (!Fetch(entry.site, entry.remotePath, entry.downloadSize, line, &step.bytes)) return;
        if (ReadPatch(step.bytes.data(), step.bytes.size(), &step.contents) != PatchReadStatus::kOk) {
            Problem(line, entry.remotePath + " is not a sound patch file");
            return;
        }
        steps_.push_back(std::move(step));
    }

    void CheckFile(const ImageFileEntry& entry, size_t line, bool mandatory, bool engine) {
        std::vector<uint8_t> compressed, expanded;
        if (!Fetch(entry.site, entry.remotePath, entry.downloadSize, line, &compressed)) return;
        // The engine's own files are served as they are; every other file compressed.
        if (engine) {
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
        if (!mandatory) return;
        std::string local;
        if (!CodePageToUtf8(entry.localPath, codePage_, &local)) {
            Problem(line, "the file name is no text of code page " + std::to_string(codePage_));
            return;
        }
        installed_[Folded(local)] = {line, Sha256::Of(expanded.data(), expanded.size())};
    }

    // A file the image both installs and deletes is never in sync with the image.
    void CheckDeletions(const UpdateImage& image, const CheckListener& listener) {
        std::map<std::string, size_t> installs;
        for (size_t i = 0; i < image.mandatoryFiles.size(); ++i) {
            installs[Folded(image.mandatoryFiles[i].localPath)] = LineOf(listener.mandatoryLines, i);
        }
        for (size_t i = 0; i < image.deleteFiles.size(); ++i) {
            const auto found = installs.find(Folded(image.deleteFiles[i]));
            if (found == installs.end()) continue;
            Problem(LineOf(listener.deleteLines, i), "DELETE FILE " + image.deleteFiles[i] + " names the file that line " +
                                                         std::to_string(found->second) +
                                                         " installs: the installation would never match the image");
        }
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
    unsigned codePage_;
    FILE* out_;
    bool keyGiven_;
    PublicKeyBytes key_;
    ImageSeal seal_;
    bool checkDigests_ = false;  // the image is signed and its seal reads
    std::string engineSite_;  // the site entries come from unless a BASE URL names another
    size_t problems_ = 0;
    std::vector<CheckedStep> steps_;
    std::map<std::string, std::pair<size_t, Sha256Digest>> installed_;  // folded local path: line, content
};

}  // namespace

size_t CheckSite(const std::string& site, const std::string& image, const CheckOptions& options, FILE* out) {
    return SiteChecker(site, image, options, out).Run();
}
