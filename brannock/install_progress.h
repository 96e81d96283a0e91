// What the install dialog makes of the patch library's progress messages, and the texts
// it writes to the debugger output for them. No Windows API here.
//
// Bar 1000 shows the current file (0 to kFileComplete), bar 1001 the whole patch (0 to
// 100). A file count of 0 or less (an empty patch) gives finished files no share, and
// bar 1001 is always kept within 0 to 100, also when more files finish than announced.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr uint16_t kFileComplete = 0x8000;
constexpr int kOverallBarMax = 100;
constexpr size_t kDebugTextSize = 1024;

// What the dialog shows after one message.
struct ProgressView {
    bool setBars = false;   // set both bars to the values below
    uint16_t fileBar = 0;
    int overallBar = 0;
    bool repaint = false;   // the shown value changed
};

class InstallProgress {
public:
    // Message 6. Starts the overall count again.
    void FileCount(int32_t count);
    // Message 5 with the file's value. shown: the dialog is there to show it.
    ProgressView FileProgress(uint16_t value, bool shown);
    // Message 8.
    ProgressView FileDone(bool shown);

    // Percent that one finished file adds, and percent of the whole patch done.
    float step() const { return step_; }
    float overall() const { return overall_; }

private:
    int OverallBar(float value) const;

    int32_t count_ = 0;
    int32_t done_ = 0;
    float step_ = 0;
    float overall_ = 0;
    uint16_t lastFileShown_ = 0;
    float lastOverallShown_ = 0;
};

// Percent of the current file done, for the second text of message 5.
double FilePercent(uint16_t value);

// The debugger text format of a message id (the one for any id without a text of its
// own: "Unhandle message\r\n"). Message 5 has two texts; this gives the first.
const char* DebugFormatOf(uint32_t id);
extern const char kFilePercentFormat[];   // second text of message 5
extern const char kOverallFormat[];       // second text of message 8

// printf into buffer (kDebugTextSize bytes). A text that does not fit is cut, and its
// line end is kept so that the next text still starts a line of its own.
void FormatDebugText(char* buffer, const char* format, ...);
