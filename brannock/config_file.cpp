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

// One line into a buffer of kConfigLineSize. The rest of a line that does not fit is
// skipped, so that it cannot pass for the next setting.
bool ReadLine(std::FILE* file, char* line) {
    if (!std::fgets(line, static_cast<int>(kConfigLineSize), file)) return false;
    if (!std::strchr(line, '\n')) {
        int c;
        while ((c = std::fgetc(file)) != EOF && c != '\n') {
        }
    }
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
    }
    for (auto& line : config->lines) TrimConfigLine(line);
    return true;
}
