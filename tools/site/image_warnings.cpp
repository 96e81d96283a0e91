#include "tools/site/image_warnings.h"

#include <algorithm>

#include "common/file_id.h"
#include "engine/image_cursor.h"
#include "engine/image_text.h"

namespace {

std::string Bracketed(const std::string& header) { return "[" + header + "]"; }

// Why an expected file Id can never equal a computed one; empty when it can.
std::string FileIdFault(const std::string& id) {
    if (id.empty()) return "has no file Id (seven-field FILE line)";
    if (id.size() != kFileIdLength) return "has the file Id \"" + id + "\", which is not ten characters long";
    for (size_t i = 2; i < id.size(); ++i) {
        const char c = id[i];
        if (c >= 'a' && c <= 'f')
            return "has the file Id \"" + id + "\" with lower-case letters (Ids compare case-sensitively)";
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')))
            return "has the file Id \"" + id + "\", whose last eight characters are not hexadecimal digits";
    }
    return std::string();
}

}  // namespace

ImageWarnings::ImageWarnings(std::string text) : text_(std::move(text)) {
    // A line ends at LF, at CR LF, or at a CR alone.
    for (size_t i = 0; i < text_.size(); ++i) {
        if (text_[i] == '\n' || (text_[i] == '\r' && (i + 1 >= text_.size() || text_[i + 1] != '\n'))) {
            lineEnds_.push_back(i);
        }
    }
}

size_t ImageWarnings::LineOf(size_t offset) const {
    return 1 + static_cast<size_t>(std::lower_bound(lineEnds_.begin(), lineEnds_.end(), offset) - lineEnds_.begin());
}

bool ImageWarnings::StartsLine(size_t offset) const {
    for (size_t i = offset; i > 0; --i) {
        const char c = text_[i - 1];
        if (c == '\n' || c == '\r') return true;
        if (c != ' ' && c != '\t') return false;
    }
    return true;
}

void ImageWarnings::Add(size_t offset, const std::string& message) {
    items_.push_back({offset == ImageTextCursor::npos ? 0 : LineOf(offset), message});
}

std::vector<std::string> ImageWarnings::Messages() const {
    std::vector<std::string> messages;
    for (const Item& item : items_) {
        messages.push_back(item.line ? "line " + std::to_string(item.line) + ": " + item.message : item.message);
    }
    return messages;
}

size_t ImageWarnings::LineAt(size_t offset) const { return offset == ImageTextCursor::npos ? 0 : LineOf(offset); }

void ImageWarnings::NoteDroppedLine(size_t offset) {
    Add(offset, "\"" + TrimImageText(text_.substr(offset)) + "\" is cut at the 65535-byte limit inside its line; the engine drops this line");
}

void ImageWarnings::OnNote(const ImageNote& note) {
    switch (note.kind) {
        case ImageNoteKind::kNoVersionHeader:
            if (note.offset == ImageTextCursor::npos) {
                Add(note.offset, "no header ('[') found: the engine reads nothing from this image");
            } else {
                Add(note.offset, "the first header " + Bracketed(note.text) +
                                     " is not a VERSION header ([VERSION n] or [VERSION n TO m]): "
                                     "the engine reads nothing from this image");
            }
            break;
        case ImageNoteKind::kSectionHeader:
            if (FindNoCase(note.text, "BASE URL") == 0 || FindNoCase(note.text, "BASE AUTH") == 0) {
                Add(note.offset, Bracketed(note.text) + " is read as section " + note.section +
                                     " because it contains that word, not as a directive "
                                     "(only inside a section is it a directive)");
            }
            break;
        case ImageNoteKind::kUnknownSection:
            if (StartsLine(note.offset)) {
                Add(note.offset, Bracketed(note.text) +
                                     " names no section: the engine skips its lines up to the next '['");
            } else {
                Add(note.offset, "the '[' inside this line starts an unknown section " + Bracketed(note.text) +
                                     " (the engine looks for the next '[' after an abandoned section): "
                                     "the rest of the line and the lines up to the next '[' are skipped");
            }
            break;
        case ImageNoteKind::kDirectiveIgnored:
            Add(note.offset, Bracketed(note.text) +
                                 " does not fit [BASE URL host] or [BASE AUTH user password] and is ignored");
            break;
        case ImageNoteKind::kHeaderAtEnd:
            Add(note.offset, Bracketed(note.text) +
                                 " is on the last line of the image, so the engine ignores it; "
                                 "move it in front of a section");
            break;
        case ImageNoteKind::kEntryRead:
            break;
        case ImageNoteKind::kSectionAbandoned:
            Add(note.offset, "\"" + note.text + "\" fits no line form of section " + note.section +
                                 ": the engine drops it and the rest of the section up to the next '['");
            break;
    }
}

void ImageWarnings::CheckFiles(const char* what, const std::vector<ImageFileEntry>& files) {
    for (const ImageFileEntry& entry : files) {
        const std::string fault = FileIdFault(entry.fileId);
        if (!fault.empty()) {
            Add(ImageTextCursor::npos, std::string(what) + " " + entry.remotePath + " " + fault +
                                             ": the engine never finds this file in sync");
        }
    }
}

void ImageWarnings::CheckFileIds(const UpdateImage& image) {
    CheckFiles("mandatory file", image.mandatoryFiles);
    CheckFiles("engine file", image.engineFiles);
    for (const auto& entry : image.modules) {
        CheckFiles(("file of module \"" + entry.first + "\"").c_str(), entry.second.files);
    }
}
