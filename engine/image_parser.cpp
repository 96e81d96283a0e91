#include "engine/image_parser.h"

#include <vector>

#include "engine/image_cursor.h"
#include "engine/image_text.h"

namespace {

// Image values are decimal; a 16-bit calendar field holds at most 65,535 (no other
// range is checked).
constexpr uint32_t kCalendarCeiling = 0xFFFF;

// Reads the run of decimal digits at text[i], moving i past it.
uint32_t ReadDigits(const std::string& text, size_t& i, size_t* count = nullptr) {
    uint32_t value = 0;
    size_t digits = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
        value = value * 10 + static_cast<uint32_t>(text[i] - '0');
        if (value > kCalendarCeiling) value = kCalendarCeiling + 1;  // no wrap back into range
    }
    if (count) *count = digits;
    return value;
}

uint16_t CalendarField(uint32_t value) {
    return static_cast<uint16_t>(value > kCalendarCeiling ? kCalendarCeiling : value);
}

void SlashesTo(std::string& path, char from, char to) {
    for (char& c : path) {
        if (c == from) c = to;
    }
}

// Comments (from an apostrophe anywhere up to, not including, the next LF) and tabs
// become blanks.
void BlankCommentsAndTabs(char* text, size_t length) {
    bool inComment = false;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] == '\n') {
            inComment = false;
        } else if (inComment || text[i] == '\'') {
            inComment = true;
            text[i] = ' ';
        } else if (text[i] == '\t') {
            text[i] = ' ';
        }
    }
}

enum class HeaderRule { kNone, kPatches, kMandatory, kModules, kBaseUrl, kBaseAuth, kHalvorin };

// The first word the header contains decides, in this order.
HeaderRule ClassifyHeader(const std::string& header) {
    if (FindNoCase(header, "Patches") >= 0) return HeaderRule::kPatches;
    if (FindNoCase(header, "Mandatory") >= 0) return HeaderRule::kMandatory;
    if (FindNoCase(header, "Modules") >= 0) return HeaderRule::kModules;
    if (FindNoCase(header, "Base URL") >= 0) return HeaderRule::kBaseUrl;
    if (FindNoCase(header, "Base Auth") >= 0) return HeaderRule::kBaseAuth;
    if (FindNoCase(header, "Halvorin") >= 0) return HeaderRule::kHalvorin;
    return HeaderRule::kNone;
}

const char* SectionName(HeaderRule rule) {
    switch (rule) {
        case HeaderRule::kPatches: return "Patches";
        case HeaderRule::kMandatory: return "Mandatory";
        case HeaderRule::kModules: return "Modules";
        case HeaderRule::kHalvorin: return "Halvorin";
        default: return "";
    }
}

class ImageParser {
public:
    ImageParser(UpdateImage& image, const char* text, size_t length, ImageParseListener* listener)
        : image_(image), cursor_(text, length), listener_(listener) {}

    void Run() {
        std::string header = cursor_.ReadSectionHeader();
        if (MatchLinePattern("VERSION $ TO $", header, fields_)) {
            image_.version = ReadImageInt32(fields_[1]);
        } else if (MatchLinePattern("VERSION $", header, fields_)) {
            image_.version = ReadImageInt32(fields_[0]);
        } else {
            Note(ImageNoteKind::kNoVersionHeader, cursor_.HeaderStart(), header);
            return;
        }
        while (!cursor_.AtEnd()) {
            header = cursor_.ReadSectionHeader();
            const size_t at = cursor_.HeaderStart();
            if (cursor_.AtEnd()) {
                if (at != ImageTextCursor::npos) Note(ImageNoteKind::kHeaderAtEnd, at, header);
                break;
            }
            const HeaderRule rule = ClassifyHeader(header);
            switch (rule) {
                case HeaderRule::kBaseUrl: ApplyBaseUrl(header, at); break;
                case HeaderRule::kBaseAuth: ApplyBaseAuth(header, at); break;
                case HeaderRule::kNone: Note(ImageNoteKind::kUnknownSection, at, header); break;
                default:
                    Note(ImageNoteKind::kSectionHeader, at, header, SectionName(rule));
                    ReadSection(rule);
                    break;
            }
        }
    }

private:
    void Note(ImageNoteKind kind, size_t offset, const std::string& text, const char* section = "") {
        if (listener_) listener_->OnNote(ImageNote{kind, offset, text, section, ImageEntryKind::kNone, std::string()});
    }

    // The line just read went into the image.
    void Read(ImageEntryKind entry, const std::string& line, const std::string& module = std::string()) {
        if (!listener_) return;
        listener_->OnNote(ImageNote{ImageNoteKind::kEntryRead, cursor_.LineStart(), line, "", entry, module});
    }

    void ApplyBaseUrl(const std::string& header, size_t at) {
        if (MatchLinePattern("BASE URL $", header, fields_)) {
            image_.site = fields_[0];
        } else {
            Note(ImageNoteKind::kDirectiveIgnored, at, header);
        }
    }

    // The password is everything after the user name, blanks included.
    void ApplyBaseAuth(const std::string& header, size_t at) {
        if (MatchLinePattern("BASE AUTH $ $", header, fields_)) {
            image_.userName = fields_[0];
            image_.password = fields_[1];
        } else {
            Note(ImageNoteKind::kDirectiveIgnored, at, header);
        }
    }

    void ReadSection(HeaderRule rule) {
        for (;;) {
            const std::string line = cursor_.ReadNextLine();
            if (line.empty()) return;  // only at the end of the text
            if (line[0] == '[') {
                // A directive is applied where it stands; any other header ends the section
                // and is read again by the top level.
                cursor_.SetPosition(cursor_.LineStart());
                const bool baseUrl = FindNoCase(line, "BASE URL") >= 0;
                if (!baseUrl && FindNoCase(line, "BASE AUTH") < 0) return;
                const std::string header = cursor_.ReadSectionHeader();
                if (baseUrl) {
                    ApplyBaseUrl(header, cursor_.HeaderStart());
                } else {
                    ApplyBaseAuth(header, cursor_.HeaderStart());
                }
            } else if (!ReadSectionLine(rule, line)) {
                // The rest of the section is lost up to the next '[' the top level finds.
                Note(ImageNoteKind::kSectionAbandoned, cursor_.LineStart(), line, SectionName(rule));
                return;
            }
            if (cursor_.AtEnd()) return;
        }
    }

    bool ReadSectionLine(HeaderRule rule, const std::string& line) {
        switch (rule) {
            case HeaderRule::kPatches: return ReadPatchLine(line);
            case HeaderRule::kMandatory: return ReadMandatoryLine(line);
            case HeaderRule::kModules: return ReadModulesLine(line);
            case HeaderRule::kHalvorin: {
                ImageFileEntry entry;
                if (!ReadFileEntry(line, entry)) return false;
                image_.engineFiles.push_back(std::move(entry));
                Read(ImageEntryKind::kEngineFile, line);
                return true;
            }
            default: return false;
        }
    }

    bool ReadPatchLine(const std::string& line) {
        if (!MatchLinePattern("FROM V$ TO V$ $ $", ProtectQuotedBlanks(line), fields_)) return false;
        ImagePatchStep step;
        step.site = image_.site;
        step.userName = image_.userName;
        step.password = image_.password;
        step.remotePath = RestoreQuotedBlanks(fields_[2]);
        SlashesTo(step.remotePath, '\\', '/');
        step.fromVersion = ReadImageInt32(DropProtectionEscapes(fields_[0]));
        step.toVersion = ReadImageInt32(DropProtectionEscapes(fields_[1]));
        step.downloadSize = ReadImageUInt32(RestoreQuotedBlanks(fields_[3]));
        image_.patchSteps.push_back(std::move(step));
        Read(ImageEntryKind::kPatchStep, line);
        return true;
    }

    bool ReadMandatoryLine(const std::string& line) {
        ImageFileEntry entry;
        if (ReadFileEntry(line, entry)) {
            image_.mandatoryFiles.push_back(std::move(entry));
            Read(ImageEntryKind::kMandatoryFile, line);
            return true;
        }
        // The single field is already trimmed and unquoted; blanks inside it stay.
        if (MatchLinePattern("DELETE FILE $", line, fields_)) {
            image_.deleteFiles.push_back(fields_[0]);
            Read(ImageEntryKind::kDeleteFile, line);
            return true;
        }
        return false;
    }

    bool ReadModulesLine(const std::string& line) {
        if (FindNoCase(line, "MODULE") == 0) {
            if (MatchLinePattern("MODULE $ $", line, fields_)) {
                image_.currentModuleName = fields_[0];
                image_.currentModuleDescription = fields_[1];
                return true;
            }
            if (MatchLinePattern("MODULE $", line, fields_)) {
                image_.currentModuleName = fields_[0];
                image_.currentModuleDescription.clear();
                return true;
            }
            return false;
        }
        ImageFileEntry entry;
        if (!ReadFileEntry(line, entry)) return false;
        // Every file refreshes the module's name and description from the current values.
        ImageModule& module = image_.modules[image_.currentModuleName];
        module.name = image_.currentModuleName;
        module.description = image_.currentModuleDescription;
        module.files.push_back(std::move(entry));
        Read(ImageEntryKind::kModuleFile, line, module.name);
        return true;
    }

    bool ReadFileEntry(const std::string& line, ImageFileEntry& entry) {
        entry.site = image_.site;
        entry.userName = image_.userName;
        entry.password = image_.password;
        return ParseFileLine(line, entry);
    }

    UpdateImage& image_;
    ImageTextCursor cursor_;
    ImageParseListener* listener_;
    std::vector<std::string> fields_;
};

}  // namespace

size_t CompleteImageLength(const char* text, size_t length) {
    if (length < kImageReadLimit) return length;
    while (length > 0 && text[length - 1] != '\r' && text[length - 1] != '\n') --length;
    return length;
}

void ParseImage(UpdateImage& image, char* text, size_t length, ImageParseListener* listener) {
    if (text == nullptr) length = 0;
    BlankCommentsAndTabs(text, length);
    ImageParser(image, text, length, listener).Run();
}

bool ParseFileLine(const std::string& line, ImageFileEntry& entry) {
    // Eight fields first: the seven-field form would take the last two as one.
    const std::string protectedLine = ProtectQuotedBlanks(line);
    std::vector<std::string> fields;
    if (!MatchLinePattern("FILE $ $ $ $ $ $ $ $", protectedLine, fields)) {
        if (!MatchLinePattern("FILE $ $ $ $ $ $ $", protectedLine, fields)) return false;
        fields.emplace_back();
    }
    ImageFileEntry filled = entry;
    filled.remotePath = RestoreQuotedBlanks(fields[0]);
    SlashesTo(filled.remotePath, '\\', '/');
    filled.localPath = RestoreQuotedBlanks(fields[1]);
    SlashesTo(filled.localPath, '/', '\\');
    filled.expectedSize = ReadImageUInt32(DropProtectionEscapes(fields[2]));
    filled.downloadSize = ReadImageUInt32(DropProtectionEscapes(fields[3]));
    filled.flags = DropProtectionEscapes(fields[6]);
    filled.fileId = DropProtectionEscapes(fields[7]);
    filled.timestamp = ImageTime{};
    if (!ParseImageDate(DropProtectionEscapes(fields[4]), filled.timestamp)) return false;
    if (!ParseImageTime(DropProtectionEscapes(fields[5]), filled.timestamp)) return false;
    entry = std::move(filled);
    return true;
}

bool ParseImageDate(const std::string& text, ImageTime& time) {
    size_t i = 0;
    const uint32_t month = ReadDigits(text, i);
    if (i >= text.size()) return false;
    ++i;  // separator, whatever it is
    const uint32_t day = ReadDigits(text, i);
    if (i < text.size()) ++i;
    size_t yearDigits = 0;
    uint32_t year = ReadDigits(text, i, &yearDigits);
    if (yearDigits == 2) year += 1900;
    time.year = CalendarField(year);
    time.month = CalendarField(month);
    time.day = CalendarField(day);
    return true;
}

bool ParseImageTime(const std::string& text, ImageTime& time) {
    size_t i = 0;
    uint32_t hour = ReadDigits(text, i);
    if (i + 1 >= text.size()) return false;  // the text must go on after the separator
    ++i;
    const uint32_t minute = ReadDigits(text, i);
    if (i + 1 >= text.size()) return false;
    ++i;
    const uint32_t second = ReadDigits(text, i);
    if (i < text.size() && (text[i] == 'P' || text[i] == 'p') && hour >= 1 && hour <= 11) hour += 12;
    time.hour = CalendarField(hour);
    time.minute = CalendarField(minute);
    time.second = CalendarField(second);
    return true;
}
