#include "brannock/install_progress.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

void InstallProgress::FileCount(int32_t count) {
    count_ = count;
    done_ = 0;
    // An empty patch has no file to share the 100 percent among.
    step_ = count > 0 ? static_cast<float>(kOverallBarMax) / static_cast<float>(count) : 0.0f;
    overall_ = 0;
}

int InstallProgress::OverallBar(float value) const {
    if (!(value > 0)) return 0;
    if (value >= kOverallBarMax) return kOverallBarMax;
    return static_cast<int>(value);
}

ProgressView InstallProgress::FileProgress(uint16_t value, bool shown) {
    ProgressView view;
    if (!shown) return view;
    if (value <= kFileComplete) {
        view.setBars = true;
        view.fileBar = value;
        view.overallBar = OverallBar(static_cast<float>(value) * step_ / kFileComplete + overall_);
    }
    if (value != lastFileShown_) {
        lastFileShown_ = value;
        view.repaint = true;
    }
    return view;
}

ProgressView InstallProgress::FileDone(bool shown) {
    ++done_;
    // Counted from the finished files rather than summed, so that the last file gives
    // exactly 100 whatever the rounding of the step.
    overall_ = count_ > 0 ? static_cast<float>(kOverallBarMax) * static_cast<float>(done_) / static_cast<float>(count_)
                          : 0.0f;
    ProgressView view;
    if (!shown) return view;
    view.setBars = true;
    view.fileBar = kFileComplete;
    view.overallBar = OverallBar(overall_);
    if (overall_ != lastOverallShown_) {
        lastOverallShown_ = overall_;
        view.repaint = true;
    }
    return view;
}

double FilePercent(uint16_t value) { return value * 100.0 / kFileComplete; }

const char kFilePercentFormat[] = "%% Of this file completed: %2.2f\r\n";
const char kOverallFormat[] = "Overall %% Completed: %2.2f\r\n";

const char* DebugFormatOf(uint32_t id) {
    switch (id) {
    case 1: return "Warning message header: %s\r\n";
    case 2: return "Warning message text: %s\r\n";
    case 3: return "Error message header: %s\r\n";
    case 4: return "Error message text: %s\r\n";
    case 5: return "%% Complete this file: %u\r\n";
    case 6: return "Number of files to patch: %ld\r\n";
    case 7: return "File patch start: %s\r\n";
    case 8: return "Current file patch complete.\r\n";
    case 9: return "Progress message: %s\r\n";
    case 10: return "Help message: %s\r\n";
    case 11: return "Patch file comment: %s\r\n";
    case 12: return "Copyright message: %s\r\n";
    case 13: return "Patch file dialog.\r\n";
    case 14: return "Invalid patch file alrt.\r\n";
    case 15: return "Password dialog.\r\n";
    case 16: return "Invalid password alert.\r\n";
    case 17: return "Next disk dialog: %s\r\n";
    case 18: return "Invalid disk alert.\r\n";
    case 21: return "Idle call-back\r\n";
    default: return "Unhandle message\r\n";
    }
}

void FormatDebugText(char* buffer, const char* format, ...) {
    std::memset(buffer, 0, kDebugTextSize);
    va_list arguments;
    va_start(arguments, format);
    const int length = std::vsnprintf(buffer, kDebugTextSize, format, arguments);
    va_end(arguments);
    // Some C libraries answer a cut text with -1 and leave it unterminated.
    if (length < 0 || static_cast<size_t>(length) >= kDebugTextSize) {
        std::memcpy(buffer + kDebugTextSize - 3, "\r\n", 3);
    }
}
