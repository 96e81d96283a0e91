// halvorin-site run as a program: the JSON it prints for images, its exit codes and
// messages, and the file Ids it computes from real files.
#include <gtest/gtest.h>
#include "engine/tests/worked_example_image.h"
#include "tools/site/tests/tool_test_files.h"
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// A small strict JSON reader: enough to check that the output is valid and to look at it.
struct Json {
    enum Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = kNull;
    long long number = 0;
    std::string text;
    std::vector<Json> items;
    std::vector<std::pair<std::string, Json>> members;  // in written order

    const Json& operator[](const std::string& key) const {
        for (const auto& m : members) {
            if (m.first == key) return m.second;
        }
        ADD_FAILURE() << "no member " << key;
        static const Json none;
        return none;
    }
    const Json& operator[](size_t i) const {
        if (i < items.size()) return items[i];
        ADD_FAILURE() << "no item " << i;
        static const Json none;
        return none;
    }
    std::vector<std::string> Keys() const {
        std::vector<std::string> keys;
        for (const auto& m : members) keys.push_back(m.first);
        return keys;
    }
};

class JsonReader {
public:
    explicit JsonReader(const std::string& text) : s_(text) {}

    bool Read(Json& value) {
        if (!Value(value)) return false;
        Space();
        return i_ == s_.size();
    }

private:
    void Space() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\r' || s_[i_] == '\t')) ++i_;
    }
    bool Literal(const char* word) {
        const std::string w = word;
        if (s_.compare(i_, w.size(), w) != 0) return false;
        i_ += w.size();
        return true;
    }
    bool Value(Json& v) {
        Space();
        if (i_ >= s_.size()) return false;
        const char c = s_[i_];
        if (c == '{') return Object(v);
        if (c == '[') return Array(v);
        if (c == '"') {
            v.kind = Json::kString;
            return String(v.text);
        }
        if (c == '-' || (c >= '0' && c <= '9')) return Number(v);
        if (Literal("true") || Literal("false")) return v.kind = Json::kBool, true;
        return Literal("null");
    }
    bool Number(Json& v) {
        v.kind = Json::kNumber;
        const size_t start = i_;
        if (s_[i_] == '-') ++i_;
        if (i_ >= s_.size() || s_[i_] < '0' || s_[i_] > '9') return false;
        if (s_[i_] == '0' && i_ + 1 < s_.size() && s_[i_ + 1] >= '0' && s_[i_ + 1] <= '9') return false;
        while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
        v.number = std::stoll(s_.substr(start, i_ - start));
        return true;
    }
    bool String(std::string& out) {
        ++i_;
        while (i_ < s_.size() && s_[i_] != '"') {
            const unsigned char c = static_cast<unsigned char>(s_[i_++]);
            if (c < 0x20 || c >= 0x80) return false;  // the tool writes plain ASCII only
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (i_ >= s_.size()) return false;
            const char e = s_[i_++];
            switch (e) {
                case '"': case '\\': case '/': out += e; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'u': {
                    if (i_ + 4 > s_.size()) return false;
                    const unsigned long code = std::stoul(s_.substr(i_, 4), nullptr, 16);
                    if (code > 0xFF) return false;  // image texts are bytes
                    out += static_cast<char>(code);
                    i_ += 4;
                    break;
                }
                default: return false;
            }
        }
        if (i_ >= s_.size()) return false;
        ++i_;
        return true;
    }
    bool Array(Json& v) {
        v.kind = Json::kArray;
        ++i_;
        Space();
        if (i_ < s_.size() && s_[i_] == ']') return ++i_, true;
        for (;;) {
            v.items.emplace_back();
            if (!Value(v.items.back())) return false;
            Space();
            if (i_ >= s_.size()) return false;
            if (s_[i_++] == ']') return true;
            if (s_[i_ - 1] != ',') return false;
        }
    }
    bool Object(Json& v) {
        v.kind = Json::kObject;
        ++i_;
        Space();
        if (i_ < s_.size() && s_[i_] == '}') return ++i_, true;
        for (;;) {
            Space();
            std::string key;
            if (i_ >= s_.size() || s_[i_] != '"' || !String(key)) return false;
            Space();
            if (i_ >= s_.size() || s_[i_++] != ':') return false;
            v.members.emplace_back(key, Json());
            if (!Value(v.members.back().second)) return false;
            Space();
            if (i_ >= s_.size()) return false;
            if (s_[i_++] == '}') return true;
            if (s_[i_ - 1] != ',') return false;
        }
    }

    const std::string& s_;
    size_t i_ = 0;
};

struct ToolRun {
    int exitCode = -1;
    std::string out;
    std::string err;
    Json json;
    bool jsonValid = false;
};

std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += (c == '\'') ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

using site_tool_test::ReadAll;
using site_tool_test::WriteAll;

class SiteTool : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tool = getenv("HALVORIN_SITE_TOOL");
        ASSERT_NE(nullptr, tool) << "HALVORIN_SITE_TOOL is not set";
        tool_ = tool;
        std::string pattern = ::testing::TempDir() + "site_tool_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern.data()));
        dir_ = pattern;
    }
    void TearDown() override {
        if (!dir_.empty()) system(("rm -rf " + Quote(dir_)).c_str());
    }

    std::string Path(const std::string& name) const { return dir_ + "/" + name; }

    std::string Image(const std::string& name, const std::string& text) {
        WriteAll(Path(name), text);
        return Path(name);
    }

    ToolRun Tool(const std::vector<std::string>& args) {
        std::string command = Quote(tool_);
        for (const auto& a : args) command += " " + Quote(a);
        const std::string errPath = Path("stderr.txt");
        command += " 2>" + Quote(errPath);
        ToolRun run;
        FILE* pipe = popen(command.c_str(), "r");
        if (!pipe) {
            ADD_FAILURE() << "cannot start " << command;
            return run;
        }
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, n);
        const int status = pclose(pipe);
        run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        run.err = ReadAll(errPath);
        run.jsonValid = JsonReader(run.out).Read(run.json);
        return run;
    }

    std::string tool_;
    std::string dir_;
};

const std::vector<std::string> kFileKeys = {"site", "userName", "password", "remotePath", "localPath",
                                            "expectedSize", "downloadSize", "flags", "fileId", "timestamp"};

}  // namespace

TEST_F(SiteTool, DumpsTheWorkedExample) {
    const ToolRun run = Tool({"dump", Image("example.img", kWorkedExample), "--site", "ownhost", "--user", "owner",
                          "--password", "two words"});
    EXPECT_EQ(0, run.exitCode) << run.err;
    ASSERT_TRUE(run.jsonValid) << run.out;
    const Json& j = run.json;
    EXPECT_EQ((std::vector<std::string>{"site", "imagePath", "userName", "password", "patchSteps", "mandatoryFiles",
                                        "engineFiles", "deleteFiles", "modules"}),
              j.Keys());
    EXPECT_EQ("otherhost", j["site"].text);
    EXPECT_EQ("", j["imagePath"].text);
    EXPECT_EQ("owner", j["userName"].text);
    EXPECT_EQ("two words", j["password"].text);

    ASSERT_EQ(2u, j["patchSteps"].items.size());
    const Json& step = j["patchSteps"][1];
    EXPECT_EQ((std::vector<std::string>{"site", "userName", "password", "remotePath", "fromVersion", "toVersion",
                                        "downloadSize"}),
              step.Keys());
    EXPECT_EQ("ownhost", step["site"].text);
    EXPECT_EQ("owner", step["userName"].text);
    EXPECT_EQ("two words", step["password"].text);
    EXPECT_EQ("patches/p67.rtp", step["remotePath"].text);
    EXPECT_EQ(6, step["fromVersion"].number);
    EXPECT_EQ(7, step["toVersion"].number);
    EXPECT_EQ(900, step["downloadSize"].number);
    EXPECT_EQ(1200, j["patchSteps"][0]["downloadSize"].number);

    ASSERT_EQ(1u, j["mandatoryFiles"].items.size());
    const Json& app = j["mandatoryFiles"][0];
    EXPECT_EQ(kFileKeys, app.Keys());
    EXPECT_EQ("otherhost", app["site"].text);
    EXPECT_EQ("owner", app["userName"].text);
    EXPECT_EQ("bin/app.exe", app["remotePath"].text);
    EXPECT_EQ("app.exe", app["localPath"].text);
    EXPECT_EQ(960, app["expectedSize"].number);
    EXPECT_EQ(480, app["downloadSize"].number);
    EXPECT_EQ("[exec]", app["flags"].text);
    EXPECT_EQ("07A1B2C3D4", app["fileId"].text);
    EXPECT_EQ("1999-12-31 23:59:59", app["timestamp"].text);

    EXPECT_EQ(Json::kArray, j["engineFiles"].kind);
    EXPECT_TRUE(j["engineFiles"].items.empty());
    ASSERT_EQ(1u, j["deleteFiles"].items.size());
    EXPECT_EQ("old\\readme.txt", j["deleteFiles"][0].text);

    ASSERT_EQ(1u, j["modules"].items.size());
    const Json& tools = j["modules"][0];
    EXPECT_EQ((std::vector<std::string>{"name", "description", "files"}), tools.Keys());
    EXPECT_EQ("Tools", tools["name"].text);
    EXPECT_EQ("Handy tools", tools["description"].text);
    ASSERT_EQ(1u, tools["files"].items.size());
    const Json& t = tools["files"][0];
    EXPECT_EQ("otherhost", t["site"].text);
    EXPECT_EQ("tools/t.exe", t["remotePath"].text);
    EXPECT_EQ("tools\\t.exe", t["localPath"].text);
    EXPECT_EQ(1000, t["expectedSize"].number);
    EXPECT_EQ(800, t["downloadSize"].number);
    EXPECT_EQ("none", t["flags"].text);
    EXPECT_EQ("", t["fileId"].text);
    EXPECT_EQ("2001-01-02 01:05:00", t["timestamp"].text);

    // The seven-field line is worth a word to the publisher; nothing else is.
    EXPECT_NE(std::string::npos, run.err.find("tools/t.exe has no file Id")) << run.err;
    EXPECT_EQ(1, std::count(run.err.begin(), run.err.end(), '\n')) << run.err;
}

TEST_F(SiteTool, DumpsTheSampleImage) {
    const ToolRun run = Tool({"dump", std::string(getenv("HALVORIN_SOURCE_DIR")) + "/tools/site/samples/demo.img"});
    EXPECT_EQ(0, run.exitCode) << run.err;
    ASSERT_TRUE(run.jsonValid) << run.out;
    const Json& j = run.json;
    EXPECT_EQ("downloads.tolbeck.example", j["site"].text);
    EXPECT_EQ(3u, j["patchSteps"].items.size());
    EXPECT_EQ("patches/ledger 40 to 42.rtp", j["patchSteps"][2]["remotePath"].text);
    ASSERT_EQ(5u, j["mandatoryFiles"].items.size());
    EXPECT_EQ("Help Files\\ledger.hlp", j["mandatoryFiles"][2]["localPath"].text);
    EXPECT_EQ("", j["mandatoryFiles"][4]["fileId"].text);
    EXPECT_EQ("", j["mandatoryFiles"][0]["site"].text);
    EXPECT_EQ(2u, j["deleteFiles"].items.size());
    ASSERT_EQ(2u, j["engineFiles"].items.size());
    EXPECT_EQ("downloads.tolbeck.example", j["engineFiles"][0]["site"].text);
    ASSERT_EQ(2u, j["modules"].items.size());
    EXPECT_EQ("Install", j["modules"][0]["name"].text);
    EXPECT_EQ("Reports", j["modules"][1]["name"].text);
    EXPECT_EQ(2u, j["modules"][1]["files"].items.size());
    EXPECT_EQ("files/readme.txt", run.err.substr(run.err.find("mandatory file ") + 15, 16)) << run.err;
}

TEST_F(SiteTool, EscapesBytesAboveAsciiAndControlCharacters) {
    const ToolRun run = Tool({"dump", Image("bytes.img",
                                        "[VERSION 1]\n[Mandatory]\n[BASE URL caf\xE9\x01\"q\\b\x7F]\n"
                                        "[BASE AUTH user pass\r\nword]\nDELETE FILE \xFFx\x1F\n")});
    EXPECT_EQ(0, run.exitCode) << run.err;
    EXPECT_NE(std::string::npos, run.out.find("\"site\": \"caf\\u00e9\\u0001\\\"q\\\\b\\u007f\"")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("\"password\": \"pass\\r\\nword\"")) << run.out;
    ASSERT_TRUE(run.jsonValid) << run.out;
    EXPECT_EQ("caf\xE9\x01\"q\\b\x7F", run.json["site"].text);
    EXPECT_EQ("user", run.json["userName"].text);
    EXPECT_EQ("pass\r\nword", run.json["password"].text);
    EXPECT_EQ("\xFFx\x1F", run.json["deleteFiles"][0].text);
}

TEST_F(SiteTool, WarnsAboutWhatTheEngineWillNotRead) {
    ToolRun run = Tool({"dump", Image("noversion.img", "[Patches]\nFROM V1 TO V2 p.rtp 10\n"), "--site", "s"});
    EXPECT_EQ(0, run.exitCode);
    ASSERT_TRUE(run.jsonValid) << run.out;
    EXPECT_TRUE(run.json["patchSteps"].items.empty());
    EXPECT_EQ("s", run.json["site"].text);
    EXPECT_NE(std::string::npos, run.err.find("line 1: the first header [Patches] is not a VERSION header")) << run.err;

    run = Tool({"dump", Image("abandoned.img",
                              "[VERSION 1]\n[Mandatory]\nHELLO\nFILE a a 1 1 1/1/99 1:0:0 [exec] 0123456789\n"
                              "[BASE URL mandatory.example]\n[Extra]\n")});
    EXPECT_EQ(0, run.exitCode);
    EXPECT_NE(std::string::npos, run.err.find("line 3: \"HELLO\" fits no line form of section Mandatory")) << run.err;
    EXPECT_NE(std::string::npos, run.err.find("line 4: the '[' inside this line starts an unknown section [exec]"))
        << run.err;
    EXPECT_NE(std::string::npos, run.err.find("line 5: [BASE URL mandatory.example] is read as section Mandatory"))
        << run.err;
    EXPECT_NE(std::string::npos, run.err.find("line 6: [Extra] is on the last line of the image, so the engine ignores it")) << run.err;

    // Only the first 65,535 bytes count: a line behind them is lost.
    std::string big = "[VERSION 1]\n[Mandatory]\nDELETE FILE first\n";
    while (big.size() < 65535 - 20) big += "' padding comment\n";
    big.resize(65535 - 20, ' ');
    big += "\nDELETE FILE second\nDELETE FILE third\n";
    run = Tool({"dump", Image("big.img", big)});
    EXPECT_EQ(0, run.exitCode);
    ASSERT_TRUE(run.jsonValid);
    ASSERT_EQ(2u, run.json["deleteFiles"].items.size());
    EXPECT_EQ("second", run.json["deleteFiles"][1].text);  // "DELETE FILE second" ends at byte 65,534
    EXPECT_NE(std::string::npos, run.err.find("the image is " + std::to_string(big.size()) +
                                              " bytes: the engine reads only its first 65535 bytes"))
        << run.err;

    // A line that the limit cuts is dropped whole, not read as "DELETE FILE app.exe".
    std::string cut = "[VERSION 1]\n[Mandatory]\nDELETE FILE first\n";
    while (cut.size() < 65535 - 60) cut += "' padding comment\n";
    cut.resize(65535 - 20, ' ');
    cut += "\nDELETE FILE app.exe.bak\n";
    run = Tool({"dump", Image("cut.img", cut)});
    EXPECT_EQ(0, run.exitCode);
    ASSERT_TRUE(run.jsonValid);
    ASSERT_EQ(1u, run.json["deleteFiles"].items.size());
    EXPECT_EQ("first", run.json["deleteFiles"][0].text);
    EXPECT_NE(std::string::npos, run.err.find(": \"DELETE FILE app.exe\" is cut at the 65535-byte limit")) << run.err;
}

TEST_F(SiteTool, UsageAndFailuresExitWithTwo) {
    const std::string image = Image("ok.img", "[VERSION 1]\n");
    struct Case { std::vector<std::string> args; const char* message; };
    const Case cases[] = {
        {{}, "usage:"},
        {{"frobnicate"}, "unknown command frobnicate"},
        {{"dump"}, "dump: no image given"},
        {{"dump", image, image}, "give one image only"},
        {{"dump", image, "--site"}, "--site needs a value"},
        {{"dump", image, "--port", "80"}, "unknown option --port"},
        {{"fileid"}, "fileid: no file given"},
        {{"dump", Path("missing.img")}, "cannot open image"},
        {{"dump", dir_}, "cannot read image"},
    };
    for (const Case& c : cases) {
        const ToolRun run = Tool(c.args);
        EXPECT_EQ(2, run.exitCode) << c.message;
        EXPECT_NE(std::string::npos, run.err.find(c.message)) << run.err;
        EXPECT_TRUE(run.out.empty()) << c.message;
    }
    const ToolRun help = Tool({"--help"});
    EXPECT_EQ(0, help.exitCode);
    EXPECT_NE(std::string::npos, help.out.find("halvorin-site dump IMAGE"));
}

TEST_F(SiteTool, FileIdsOfRealFiles) {
    // "abc" last written at minute 7 of an hour (UTC): the worked example of the file Id.
    const std::string abc = Path("abc.txt");
    WriteAll(abc, "abc");
    const time_t minute7 = 86400 * 19000 + 3600 * 5 + 60 * 7 + 42;
    const utimbuf times = {minute7, minute7};
    ASSERT_EQ(0, utime(abc.c_str(), &times));

    // A large file: head plus the tail block that starts 32,769 bytes before the end.
    std::string large(100000, '\0');
    uint32_t x = 99;
    for (char& c : large) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 16);
    const std::string big = Path("big.bin");
    WriteAll(big, large);
    const time_t minute59 = 86400 * 19000 + 60 * 59;
    const utimbuf bigTimes = {minute59, minute59};
    ASSERT_EQ(0, utime(big.c_str(), &bigTimes));
    const std::string sample = large.substr(0, 32768) + large.substr(large.size() - 32769, 32768);
    const uint32_t checksum =
        ~static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(sample.data()), sample.size()));
    char hex[9];
    for (int i = 0; i < 8; ++i) hex[i] = "0123456789ABCDEF"[(checksum >> (4 * i)) & 0xF];
    hex[8] = '\0';

    const ToolRun run = Tool({"fileid", abc, Path("missing.bin"), big, dir_});
    EXPECT_EQ(2, run.exitCode);
    EXPECT_EQ("07D3EBBDAC 3 " + abc + "\n59" + hex + " 100000 " + big + "\n", run.out);
    EXPECT_NE(std::string::npos, run.err.find("cannot open " + Path("missing.bin"))) << run.err;
    EXPECT_NE(std::string::npos, run.err.find(dir_ + " is not a regular file")) << run.err;

    const ToolRun good = Tool({"fileid", abc});
    EXPECT_EQ(0, good.exitCode);
    EXPECT_TRUE(good.err.empty()) << good.err;
}
