#include "engine/image_cursor.h"

#include "engine/image_text.h"

namespace {

bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

}  // namespace

ImageTextCursor::ImageTextCursor(const char* text, size_t length) : text_(text), length_(length) {
    if (text_ == nullptr) length_ = 0;
}

void ImageTextCursor::SetPosition(size_t offset) {
    position_ = offset < length_ ? offset : length_;
    atEnd_ = offset >= length_;
}

std::string ImageTextCursor::ReadSectionHeader() {
    headerStart_ = npos;
    if (atEnd_) return std::string();
    size_t i = position_;
    while (i < length_ && text_[i] != '[') ++i;
    if (i >= length_) {
        SetPosition(length_);
        return std::string();
    }
    headerStart_ = i;
    const size_t start = ++i;
    while (i < length_ && text_[i] != ']') ++i;
    std::string header(text_ + start, i - start);
    if (i >= length_) {
        SetPosition(length_);
        return header;
    }
    // The rest of the header's line, from the ']' on, goes unread.
    SetPosition(i);
    ReadNextLine();
    return header;
}

std::string ImageTextCursor::ReadNextLine() {
    while (!atEnd_) {
        const size_t start = position_;
        size_t i = start;
        while (i < length_ && !IsLineEnd(text_[i])) ++i;
        const size_t end = i;
        if (i < length_) {
            ++i;
            if (i < length_ && IsLineEnd(text_[i])) ++i;
        }
        SetPosition(i);
        lineStart_ = start;
        std::string line = TrimImageText(std::string(text_ + start, end - start));
        if (!line.empty()) return line;
    }
    return std::string();
}
