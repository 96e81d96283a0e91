// Config.Ins, the connection settings that a setup package carries beside Brannock.dll:
// an 8-bit text file of at least three lines.
//   1 imagePath   2 referer   3 url   4 userName   5 userPassword   6 publisherKey
// Lines after the sixth are ignored. Without a fifth line both credentials are empty, so
// a user name is never sent without its password. The sixth, optional, is the public key
// of the publisher (halvorin-site keygen's .pub line): with it, the engine takes only
// what that key signed. Each line keeps at most 1023
// characters (the rest of a longer line is dropped, not read as the next line) and is
// cleaned with TrimConfigLine. No Windows API here.
#pragma once
#include <cstddef>
#include <cstdio>

constexpr size_t kConfigLineSize = 1024;

enum ConfigLine { kImagePathLine, kRefererLine, kUrlLine, kUserNameLine, kPasswordLine, kPublisherKeyLine, kConfigLines };

struct InstallConfig {
    char lines[kConfigLines][kConfigLineSize] = {};
};

// In place: ends the text at its first CR or LF, then removes leading and trailing
// blanks (0x20 only; a tab stays).
void TrimConfigLine(char* line);

// Reads and cleans the lines from an open file. False when it has fewer than three lines
// (config is then partly filled and must not be used).
bool ReadInstallConfig(std::FILE* file, InstallConfig* config);
