// Warnings for publishers: what the engine will pass over or never accept in an image.
#pragma once
#include <string>
#include <vector>

#include "common/image_model.h"
#include "engine/image_parser.h"

// Turns the parser's notes into messages that name the image's line ("line 12: ...").
// text is the image as read, before the parser blanked its comments.
class ImageWarnings : public ImageParseListener {
public:
    explicit ImageWarnings(std::string text);

    void OnNote(const ImageNote& note) override;

    // The text from offset on is the unfinished last line of a read that filled the
    // engine's buffer, which the engine drops.
    void NoteDroppedLine(size_t offset);

    // Adds a message for every file entry whose expected file Id can never match a file.
    void CheckFileIds(const UpdateImage& image);

    // A warning, with the image's line it is about (0: the image as a whole).
    struct Item {
        size_t line;
        std::string message;
    };
    const std::vector<Item>& Items() const { return items_; }
    // "line N: message", or the message alone.
    std::vector<std::string> Messages() const;

    // The image's line (from 1) of an offset in its text.
    size_t LineAt(size_t offset) const;

private:
    size_t LineOf(size_t offset) const;
    bool StartsLine(size_t offset) const;
    void Add(size_t offset, const std::string& message);
    void CheckFiles(const char* what, const std::vector<ImageFileEntry>& files);

    std::string text_;
    std::vector<size_t> lineEnds_;  // offsets of the last character of each line
    std::vector<Item> items_;
};
