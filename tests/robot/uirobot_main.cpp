// uirobot.exe: the UI robot for scripts. Prints what it finds as JSON lines (UTF-8).
//   uirobot boxes [--wait MS] [--close] [--pid PID] [--caption PREFIX]
//   uirobot progress [--wait MS] [--pid PID]
//   uirobot cancel [--wait MS] [--pid PID]
//   uirobot key enter|escape [--wait MS] [--pid PID]
//   uirobot close [--wait MS] [--pid PID]      WM_CLOSE to the progress dialog, waits until gone
//   uirobot close-boxes --for MS [--pid PID] [--caption PREFIX]
// Exit codes: 0 done (something found), 1 nothing found or the action failed, 2 usage.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ui_robot.h"

namespace {

struct Options {
    std::string command;
    std::string key;
    DWORD waitMs = 0;
    DWORD forMs = 0;
    bool forGiven = false;
    bool close = false;
    uirobot::WindowFilter filter;
};

int Usage() {
    std::fputs(
        "usage: uirobot boxes [--wait MS] [--close] [--pid PID] [--caption PREFIX]\n"
        "       uirobot progress [--wait MS] [--pid PID]\n"
        "       uirobot cancel [--wait MS] [--pid PID]\n"
        "       uirobot key enter|escape [--wait MS] [--pid PID]\n"
        "       uirobot close [--wait MS] [--pid PID]\n"
        "       uirobot close-boxes --for MS [--pid PID] [--caption PREFIX]\n",
        stderr);
    return 2;
}

bool ParseNumber(const char* text, DWORD* value) {
    char* end = nullptr;
    unsigned long n = std::strtoul(text, &end, 10);
    if (!*text || *end) return false;
    *value = static_cast<DWORD>(n);
    return true;
}

bool Parse(int argc, char** argv, Options* o) {
    if (argc < 2) return false;
    o->command = argv[1];
    int i = 2;
    if (o->command == "key") {
        if (argc < 3) return false;
        o->key = argv[2];
        if (o->key != "enter" && o->key != "escape") return false;
        i = 3;
    }
    for (; i < argc; ++i) {
        std::string a = argv[i];
        bool hasValue = i + 1 < argc;
        if (a == "--wait" && hasValue) {
            if (!ParseNumber(argv[++i], &o->waitMs)) return false;
        } else if (a == "--for" && hasValue) {
            if (!ParseNumber(argv[++i], &o->forMs)) return false;
            o->forGiven = true;
        } else if (a == "--pid" && hasValue) {
            if (!ParseNumber(argv[++i], &o->filter.processId)) return false;
        } else if (a == "--caption" && hasValue) {
            o->filter.captionPrefix = argv[++i];
        } else if (a == "--close") {
            o->close = true;
        } else {
            return false;
        }
    }
    return true;
}

void PrintLine(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

int Boxes(const Options& o) {
    if (!uirobot::FindMessageBox(o.filter, o.waitMs, nullptr)) return 1;
    int failures = 0;
    for (const uirobot::MessageBoxInfo& box : uirobot::ListMessageBoxes(o.filter)) {
        PrintLine(uirobot::ToJson(box));
        if (o.close && !uirobot::CloseMessageBox(box.window)) ++failures;
    }
    return failures ? 1 : 0;
}

int Progress(const Options& o) {
    HWND dialog = nullptr;
    uirobot::ProgressDialogState state;
    if (!uirobot::FindProgressDialog(o.filter, o.waitMs, &dialog) || !uirobot::ReadProgressDialog(dialog, &state))
        return 1;
    PrintLine(uirobot::ToJson(state));
    return 0;
}

int Act(const Options& o) {
    HWND dialog = nullptr;
    if (!uirobot::FindProgressDialog(o.filter, o.waitMs, &dialog)) return 1;
    if (o.command == "cancel") return uirobot::ClickCancel(dialog) ? 0 : 1;
    if (o.command == "close") return uirobot::PostCloseRequest(dialog) && uirobot::WaitForWindowGone(dialog, 5000) ? 0 : 1;
    return uirobot::PressKey(dialog, o.key == "enter" ? uirobot::Key::Enter : uirobot::Key::Escape) ? 0 : 1;
}

int CloseBoxes(const Options& o) {
    uirobot::BoxWatcher watcher(o.filter);
    Sleep(o.forMs);
    watcher.Stop();
    for (const uirobot::MessageBoxInfo& box : watcher.Seen()) PrintLine(uirobot::ToJson(box));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!Parse(argc, argv, &o)) return Usage();
    if (o.command == "boxes") return Boxes(o);
    if (o.command == "progress") return Progress(o);
    if (o.command == "cancel" || o.command == "key" || o.command == "close") return Act(o);
    if (o.command == "close-boxes" && o.forGiven) return CloseBoxes(o);
    return Usage();
}
