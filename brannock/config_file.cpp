#include "brannock/config_file.h"

#include <cstring>

void TrimConfigLine(char* line) {
    line[std::strcspn(line, "\r\n")] = '\0';
    size_t start = 0;
    while (line[start] == ' ') ++start;
    size_t end = std::strlen(line);
    while (end > start && line[end - 1] == ' ') --end;
    std::memmove(line, line + start, end - start);
    line[end - start] = '\0';
}

namespace {

// One line into a buffer of kConfigLineSize: its first 1023 bytes, the rest of a longer
// line skipped so that it cannot pass for the next setting. Read byte by byte, so that a
// zero byte inside a line (which ends the setting there) does not hide the line's end.
bool ReadLine(std::FILE* file, char* line) {
    size_t length = 0;
    int c = std::fgetc(file);
    if (c == EOF) return false;
    for (; c != EOF; c = std::fgetc(file)) {
        if (length < kConfigLineSize - 1) line[length++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    line[length] = '\0';
    return true;
}

}  // namespace

bool ReadInstallConfig(std::FILE* file, InstallConfig* config) {
    for (int i = kImagePathLine; i <= kUrlLine; ++i) {
        if (!ReadLine(file, config->lines[i])) return false;
    }
    if (!ReadLine(file, config->lines[kUserNameLine]) || !ReadLine(file, config->lines[kPasswordLine])) {
        config->lines[kUserNameLine][0] = '\0';
        config->lines[kPasswordLine][0] = '\0';
        config->lines[kPublisherKeyLine][0] = '\0';
    } else if (!ReadLine(file, config->lines[kPublisherKeyLine])) {
        config->lines[kPublisherKeyLine][0] = '\0';
    }
    for (auto& line : config->lines) TrimConfigLine(line);
    return true;
}
