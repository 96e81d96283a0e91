// Reading position over the text of an update image: section headers and trimmed lines.
#pragma once
#include <cstddef>
#include <string>

// Never reads outside [text, text + length); the text needs no terminating zero.
class ImageTextCursor {
public:
    ImageTextCursor(const char* text, size_t length);

    // True once the end of the text was reached (the position is -1).
    bool AtEnd() const { return atEnd_; }
    size_t Position() const { return position_; }
    // Moves to offset and clears the end state; an offset at or past the end is the end.
    void SetPosition(size_t offset);

    // Skips to the next '[' and returns what lies between it and the next ']' (line ends
    // included); the rest of that line from the ']' on is read and dropped. Without a '['
    // or a ']' before the end the position becomes the end and the header read so far is
    // returned.
    std::string ReadSectionHeader();

    // Next line that is not empty after TrimImageText; a line end is CR or LF and one more
    // CR or LF directly behind it. Returns an empty text only at the end.
    std::string ReadNextLine();

    // Offset of the '[' of the last header read, or npos when none was found.
    size_t HeaderStart() const { return headerStart_; }
    // Offset where the last line returned by ReadNextLine starts.
    size_t LineStart() const { return lineStart_; }

    static constexpr size_t npos = static_cast<size_t>(-1);

private:
    const char* text_;
    size_t length_;
    size_t position_ = 0;
    bool atEnd_ = false;
    size_t headerStart_ = npos;
    size_t lineStart_ = 0;
};
