// Control of faulty_http.py from Windows test programs under Wine: writes rules.json and
// reads requests.jsonl in the control directory that with_http_server.sh names in
// HALVORIN_HTTP_CONTROL_WIN (Z:\...). See faulty_http.py for the rules and the fields.
#pragma once
#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace httpcontrol {

// One line of requests.jsonl. Absent (null) texts are empty; absent numbers are -1.
struct LoggedRequest {
    long long id = -1;
    long long conn = -1;
    long long seq = -1;
    std::string method;
    std::string target;
    std::string path;
    std::string referer;
    std::string authorization;  // "user:password" for Basic
    std::string range;
    std::string userAgent;
    long long status = -1;
    long long bytesSent = -1;
    long long length = -1;
    bool cut = false;
    bool aborted = false;
    std::string line;  // the whole line, for messages
};

inline std::string EnvText(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// Directory of rules.json and requests.jsonl, with a trailing backslash; "" when the
// program was not started by with_http_server.sh.
inline std::string ControlDir() {
    std::string dir = EnvText("HALVORIN_HTTP_CONTROL_WIN");
    if (!dir.empty() && dir.back() != '\\') dir += '\\';
    return dir;
}

// Directory the server serves, with a trailing backslash.
inline std::string RootDir() {
    std::string dir = EnvText("HALVORIN_HTTP_ROOT_WIN");
    if (!dir.empty() && dir.back() != '\\') dir += '\\';
    return dir;
}

inline std::string ServerAddress() { return EnvText("HALVORIN_HTTP_ADDR"); }

inline bool WriteWholeFile(const std::string& path, const std::string& data) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
              written == data.size();
    CloseHandle(file);
    return ok;
}

// Replaces the rules as one step (written beside, then renamed over), so that no request
// sees half a file. Any change of the text restarts the "times" counts.
inline bool WriteRules(const std::string& json) {
    std::string dir = ControlDir();
    if (dir.empty()) return false;
    std::string temporary = dir + "rules.json.win.tmp";
    return WriteWholeFile(temporary, json) &&
           MoveFileExA(temporary.c_str(), (dir + "rules.json").c_str(), MOVEFILE_REPLACE_EXISTING);
}

inline bool ClearRules() {
    std::string dir = ControlDir();
    return !dir.empty() && (DeleteFileA((dir + "rules.json").c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND);
}

inline bool ClearRequestLog() {
    std::string dir = ControlDir();
    return !dir.empty() &&
           (DeleteFileA((dir + "requests.jsonl").c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND);
}

namespace detail {

// The value of "name" in one compact JSON line of the server (flat objects, ASCII).
// Strings come back unescaped; null gives "" and *isNull; other values their text.
inline std::string Field(const std::string& line, const char* name, bool* isNull = nullptr) {
    if (isNull) *isNull = true;
    std::string key = std::string("\"") + name + "\":";
    size_t at = line.find(key);
    if (at == std::string::npos) return "";
    size_t i = at + key.size();
    if (i < line.size() && line[i] == '"') {
        std::string out;
        for (++i; i < line.size() && line[i] != '"'; ++i) {
            char c = line[i];
            if (c != '\\' || i + 1 >= line.size()) {
                out += c;
                continue;
            }
            char e = line[++i];
            switch (e) {
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'u':
                if (i + 4 < line.size()) {
                    unsigned code = std::strtoul(line.substr(i + 1, 4).c_str(), nullptr, 16);
                    out += code < 0x100 ? static_cast<char>(code) : '?';  // the log is Latin-1 at most
                    i += 4;
                }
                break;
            default: out += e;  // \" \\ \/
            }
        }
        if (isNull) *isNull = false;
        return out;
    }
    size_t end = line.find_first_of(",}", i);
    std::string value = line.substr(i, end == std::string::npos ? std::string::npos : end - i);
    if (value != "null" && isNull) *isNull = false;
    return value == "null" ? "" : value;
}

inline long long Number(const std::string& line, const char* name) {
    bool isNull = true;
    std::string text = Field(line, name, &isNull);
    return isNull || text.empty() ? -1 : std::strtoll(text.c_str(), nullptr, 10);
}

}  // namespace detail

inline LoggedRequest ParseRequestLine(const std::string& line) {
    LoggedRequest r;
    r.line = line;
    r.id = detail::Number(line, "id");
    r.conn = detail::Number(line, "conn");
    r.seq = detail::Number(line, "seq");
    r.method = detail::Field(line, "method");
    r.target = detail::Field(line, "target");
    r.path = detail::Field(line, "path");
    r.referer = detail::Field(line, "referer");
    r.authorization = detail::Field(line, "authorization");
    r.range = detail::Field(line, "range");
    r.userAgent = detail::Field(line, "user_agent");
    r.status = detail::Number(line, "status");
    r.bytesSent = detail::Number(line, "bytes_sent");
    r.length = detail::Number(line, "length");
    r.cut = detail::Field(line, "cut") == "true";
    r.aborted = detail::Field(line, "aborted") == "true";
    return r;
}

// Every request logged so far, oldest first.
// "Z:\\..." for a directory of the machine, as Wine sees it, with a trailing backslash.
inline std::string WineDirectory(const std::string& unixPath) {
    std::string path = "Z:" + unixPath;
    for (char& c : path) {
        if (c == '/') c = '\\';
    }
    if (path.back() != '\\') path += '\\';
    return path;
}

// A whole file that the server may be appending to (or replacing) at the same time.
inline std::string ReadSharedFile(const std::string& path) {
    std::string text;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return text;
    char buffer[65536];
    DWORD n = 0;
    while (ReadFile(file, buffer, sizeof buffer, &n, nullptr) && n > 0) text.append(buffer, n);
    CloseHandle(file);
    return text;
}

// The complete lines of a log file; a line still being written (no newline yet) is left out.
inline std::vector<std::string> LogLines(const std::string& path) {
    std::vector<std::string> lines;
    const std::string text = ReadSharedFile(path);
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        if (end > start) lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

// Every request of a server's requests.jsonl.
inline std::vector<LoggedRequest> ReadRequestLogFile(const std::string& path) {
    std::vector<LoggedRequest> requests;
    for (const std::string& line : LogLines(path)) requests.push_back(ParseRequestLine(line));
    return requests;
}

// Every request of the server that with_http_server.sh started for this program.
inline std::vector<LoggedRequest> ReadRequestLog() {
    const std::string dir = ControlDir();
    if (dir.empty()) return {};
    return ReadRequestLogFile(dir + "requests.jsonl");
}

// The GET requests of a log for one path, in the order they came.
inline std::vector<LoggedRequest> GetsOf(const std::vector<LoggedRequest>& log, const std::string& path) {
    std::vector<LoggedRequest> gets;
    for (const LoggedRequest& request : log) {
        if (request.method == "GET" && request.path == path) gets.push_back(request);
    }
    return gets;
}

inline std::vector<LoggedRequest> GetsOf(const std::string& path) { return GetsOf(ReadRequestLog(), path); }

}  // namespace httpcontrol
