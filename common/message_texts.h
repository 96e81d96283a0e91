// The message texts of the engine, loaded once at start-up from the string table in
// the user's language (English, or French for the four French languages).
#pragma once
#include <windows.h>

#include <string>

constexpr int kFirstMessageText = 101;
constexpr int kLastMessageText = 130;

// Loads every text; the error texts get the closing advice (text 101) appended.
void LoadMessageTexts(HINSTANCE instance);

// The loaded text of an id, empty for an unknown id or before loading.
const std::string& MessageText(int id);

// The text of an id formatted with printf arguments into a 4,096-byte buffer (cut there).
std::string FormatMessageText(int id, ...);
