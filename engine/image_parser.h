// Parser of the update image text into UpdateImage. Lenient: what it cannot read it skips,
// and it reports nothing to the engine; a listener (the publishers' tool) may watch.
#pragma once
#include <cstddef>
#include <string>

#include "common/image_model.h"

// What the parser passed over or took in a way a publisher may not expect.
enum class ImageNoteKind {
    kNoVersionHeader,   // first header is not a VERSION header (text: that header); nothing read
    kSectionHeader,     // a header taken as a section (text: header, section: its name)
    kUnknownSection,    // a header naming no section; its lines are skipped (text: header)
    kDirectiveIgnored,  // a BASE URL / BASE AUTH header that does not fit its form (text: header)
    kHeaderAtEnd,       // a header whose line ends the text is not acted upon (text: header)
    kSectionAbandoned,  // a line that fits no form of its section (text: line, section: name)
    kEntryRead,         // a line taken into the image (text: line, entry: which list, module: its module)
};

// The list of the image that a line read went to.
enum class ImageEntryKind { kNone, kPatchStep, kMandatoryFile, kDeleteFile, kEngineFile, kModuleFile };

struct ImageNote {
    ImageNoteKind kind;
    size_t offset;  // in the text: the '[' of a header or the start of a line
    std::string text;
    std::string section;
    ImageEntryKind entry = ImageEntryKind::kNone;
    std::string module;  // for kModuleFile: the module the file went to
};

class ImageParseListener {
public:
    virtual ~ImageParseListener() = default;
    virtual void OnNote(const ImageNote& note) = 0;
};

// The engine reads the image with a buffer of this many bytes; a longer image is cut there.
constexpr size_t kImageReadLimit = 65535;

// How much of a read image is parsed: all of it, unless the read filled the whole buffer
// (kImageReadLimit bytes) and the text does not end with a line end. Then the image was
// cut inside its last line, which would be parsed as if complete ("DELETE FILE
// app.exe.bak" cut to "app.exe"), so the text ends after the last CR or LF; 0 when
// there is none.
size_t CompleteImageLength(const char* text, size_t length);

// Parses length bytes of text into image. The buffer is writable: comments (from an
// apostrophe up to the line's LF) and tabs become blanks in it. Nothing outside
// [text, text + length) is read or written; no terminating zero is needed. The lists are
// not emptied; site, credentials and the current module carry over from a previous parse.
void ParseImage(UpdateImage& image, char* text, size_t length,
                ImageParseListener* listener = nullptr);

// Fills remotePath, localPath, sizes, timestamp, flags and fileId from an eight- or
// seven-field FILE line; site and credentials are left as they are. False (entry
// untouched) when the line is not a FILE line. Blanks inside double quotes belong to the
// field; a byte 0xFF in a path stands for itself (see ProtectQuotedBlanks).
bool ParseFileLine(const std::string& line, ImageFileEntry& entry);

// "month/day/year": each separator is any one character. A two-digit year gets 1900
// added. Sets year, month and day; false (time untouched) when the text ends right after
// the month digits.
bool ParseImageDate(const std::string& text, ImageTime& time);

// "hour:minute:second" with an optional 'P'/'p' right after the seconds, which adds 12 to
// hours 1 to 11. Sets hour, minute and second; false (time untouched) when the text ends at
// or right after one of the two separators.
bool ParseImageTime(const std::string& text, ImageTime& time);
