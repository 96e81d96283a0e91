// JSON text of what the robot read, for the command-line tool and test messages.
#include <cstdio>

#include "ui_robot.h"

namespace uirobot {

namespace {

std::string Quote(const std::string& ansi) {
    std::string utf8 = AnsiToUtf8(ansi);
    std::string out = "\"";
    for (unsigned char c : utf8) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x", c);
                out += escape;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

std::string Handle(HWND window) {
    char text[32];
    std::snprintf(text, sizeof text, "\"0x%llx\"", static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(window)));
    return text;
}

std::string Number(long long value) { return std::to_string(value); }

std::string Bool(bool value) { return value ? "true" : "false"; }

std::string Rect(const RECT& r) {
    return "{\"left\":" + Number(r.left) + ",\"top\":" + Number(r.top) + ",\"right\":" + Number(r.right) +
           ",\"bottom\":" + Number(r.bottom) + "}";
}

std::string Bar(const BarState& bar) {
    return "{\"low\":" + Number(bar.low) + ",\"high\":" + Number(bar.high) + ",\"pos\":" + Number(bar.pos) +
           ",\"step\":" + Number(bar.step) + "}";
}

}  // namespace

std::string AnsiToUtf8(const std::string& text) {
    if (text.empty()) return text;
    int n = static_cast<int>(text.size());
    int wide = MultiByteToWideChar(CP_ACP, 0, text.data(), n, nullptr, 0);
    if (wide <= 0) return text;
    std::wstring w(wide, L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), n, &w[0], wide);
    int bytes = WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return text;
    std::string out(bytes, '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, &out[0], bytes, nullptr, nullptr);
    return out;
}

std::string ToJson(const MessageBoxInfo& box) {
    std::string buttons;
    for (size_t i = 0; i < box.buttons.size(); ++i) {
        if (i) buttons += ",";
        buttons += "{\"id\":" + Number(box.buttonIds[i]) + ",\"text\":" + Quote(box.buttons[i]) + "}";
    }
    return "{\"hwnd\":" + Handle(box.window) + ",\"pid\":" + Number(box.processId) + ",\"tid\":" +
           Number(box.threadId) + ",\"caption\":" + Quote(box.caption) + ",\"text\":" + Quote(box.text) +
           ",\"buttons\":[" + buttons + "]}";
}

std::string ToJson(const ProgressDialogState& s) {
    std::string controls;
    for (const auto& entry : s.controls) {
        const ControlState& c = entry.second;
        if (!controls.empty()) controls += ",";
        controls += "\"" + Number(entry.first) + "\":{\"exists\":" + Bool(c.exists) + ",\"class\":" +
                    Quote(c.className) + ",\"text\":" + Quote(c.text) + ",\"rect\":" + Rect(c.rect) +
                    ",\"style\":" + Number(static_cast<unsigned long>(c.style)) + ",\"visible\":" + Bool(c.visible) +
                    ",\"enabled\":" + Bool(c.enabled) + "}";
    }
    return "{\"hwnd\":" + Handle(s.window) + ",\"pid\":" + Number(s.processId) + ",\"tid\":" + Number(s.threadId) +
           ",\"title\":" + Quote(s.title) + ",\"status\":" + Quote(s.status) + ",\"file_label\":" +
           Quote(s.fileLabel) + ",\"file_figures\":" + Quote(s.fileFigures) + ",\"total_label\":" +
           Quote(s.totalLabel) + ",\"total_figures\":" + Quote(s.totalFigures) + ",\"cancel_text\":" +
           Quote(s.cancelText) + ",\"file_bar\":" + Bar(s.fileBar) + ",\"total_bar\":" + Bar(s.totalBar) +
           ",\"rect\":" + Rect(s.rect) + ",\"client_rect\":" + Rect(s.clientRect) +
           ",\"style\":" + Number(static_cast<unsigned long>(s.style)) +
           ",\"ex_style\":" + Number(static_cast<unsigned long>(s.exStyle)) + ",\"visible\":" + Bool(s.visible) +
           ",\"enabled\":" + Bool(s.enabled) + ",\"topmost\":" + Bool(s.topmost) + ",\"foreground\":" +
           Bool(s.foreground) + ",\"controls\":{" + controls + "}}";
}

}  // namespace uirobot
