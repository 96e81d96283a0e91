// Tests that drive the engine (halvorin.exe, started by COM) against a test site whose
// root holds plain/NAME and files/NAME_ (compressed) for every file an image installs
// (server/tests/with_patch_site.sh): objects of their own appID, FILE lines of the site's
// files, the relaunched client's record, Cancel in the server's progress dialog, the
// error report.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "common/bstr.h"
#include "common/com_ptr.h"
#include "common/win_handles.h"
#include "files/file_identity.h"
#include "tests/helpers/test_support.h"
#include "tests/robot/ui_robot.h"
#include "tests/support/http_control.h"
#include "halvorin_idl.h"

namespace engine_site {

using namespace testing_support;

// Waits for a file to appear; its content, or "" when it did not within the time.
std::string WaitForFile(const std::string& path, DWORD timeoutMs = 90000) {
    for (DWORD waited = 0; waited < timeoutMs; waited += 100) {
        if (FileExists(path)) return ReadWholeFile(path);
        Sleep(100);
    }
    return std::string();
}

// Files below a directory: path relative to it (backslashes) and content.
using FileTree = std::map<std::string, std::string>;

inline void ReadTree(const std::string& root, FileTree* tree, const std::string& relative = std::string()) {
    WIN32_FIND_DATAA found;
    const std::string here = relative.empty() ? root : root + "\\" + relative;
    HANDLE find = FindFirstFileA((here + "\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const std::string name = found.cFileName;
        if (name == "." || name == "..") continue;
        const std::string child = relative.empty() ? name : relative + "\\" + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            ReadTree(root, tree, child);
        } else {
            (*tree)[child] = ReadWholeFile(root + "\\" + child);
        }
    } while (FindNextFileA(find, &found));
    FindClose(find);
}

// Writes the files, with the directories they need, below root.
inline bool WriteTree(const std::string& root, const FileTree& tree) {
    CreateDirectoryA(root.c_str(), nullptr);
    for (const auto& file : tree) {
        const std::string path = root + "\\" + file.first;
        for (size_t at = path.find('\\', root.size() + 1); at != std::string::npos; at = path.find('\\', at + 1)) {
            CreateDirectoryA(path.substr(0, at).c_str(), nullptr);
        }
        if (!WriteWholeFile(path, file.second)) return false;
    }
    return true;
}

// The files of a release of the sample application: app.exe and lib\core.dll, which
// differ from one release to the next at several places.
inline std::string ReleaseContent(size_t size, int version, unsigned seed) {
    std::string bytes(size, '\0');
    unsigned x = seed;
    for (char& c : bytes) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    for (size_t at = 0; at + 16 < size; at += size / 5 + 1) bytes.replace(at, 6, "v" + std::to_string(10000 + version));
    return bytes;
}

inline bool WriteRelease(const std::string& directory, int version) {
    CreateDirectoryA(directory.c_str(), nullptr);
    CreateDirectoryA((directory + "\\lib").c_str(), nullptr);
    return WriteWholeFile(directory + "\\app.exe", ReleaseContent(90000, version, 1)) &&
           WriteWholeFile(directory + "\\lib\\core.dll", ReleaseContent(150000, version, 2));
}

inline bool SameAsRelease(const std::string& directory, int version) {
    return ReadWholeFile(directory + "\\app.exe") == ReleaseContent(90000, version, 1) &&
           ReadWholeFile(directory + "\\lib\\core.dll") == ReleaseContent(150000, version, 2);
}

// Makes the site's patch file patches\NAME from release `from` to release `to` with
// makepatch.exe; releases is a directory for the releases' files.
inline bool MakeReleasePatch(const std::string& releases, int from, int to, const std::string& name) {
    const std::string older = releases + "\\v" + std::to_string(from);
    const std::string newer = releases + "\\v" + std::to_string(to);
    if (!WriteRelease(older, from) || !WriteRelease(newer, to)) return false;
    CreateDirectoryA((httpcontrol::RootDir() + "patches").c_str(), nullptr);
    return RunProcess("\"" + ProgramDirectory() + "makepatch.exe\" \"" + older + "\" \"" + newer + "\" \"" +
                      httpcontrol::RootDir() + "patches\\" + name + "\"") == 0;
}

// The FROM line of the site's patch file patches/NAME.
inline std::string PatchLine(int from, int to, const std::string& name) {
    const std::string path = "patches/" + name;
    const size_t size = ReadWholeFile(httpcontrol::RootDir() + "patches\\" + name).size();
    return "FROM V" + std::to_string(from) + " TO V" + std::to_string(to) + " " + path + " " +
           std::to_string(size ? size : 1000) + "\r\n";
}

class EngineSiteTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_EQ(0, RunProcess("\"" + ProgramDirectory() + "halvorin.exe\" -regserver"));
    }

    void SetUp() override {
        ASSERT_FALSE(httpcontrol::ControlDir().empty()) << "run me through with_http_server.sh";
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
        httpcontrol::ClearRules();
        CreateDirectoryA(app_.File("download").c_str(), nullptr);
    }
    void TearDown() override { CoUninitialize(); }

    // A FILE line for a file of the site that the image installs at local.
    static std::string FileLine(const std::string& name, const std::string& local, const std::string& flags) {
        const std::string plain = httpcontrol::RootDir() + "plain\\" + name;
        UniqueHandle file(CreateFileA(plain.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        const std::string size = std::to_string(file ? GetFileSize(file.get(), nullptr) : 10);
        const std::string id = file ? ComputeFileId(file.get()) : "00FFFFFFFF";
        const size_t compressed = ReadWholeFile(httpcontrol::RootDir() + "files\\" + name + "_").size();
        return "FILE files/" + name + "_ " + local + " " + size + " " + std::to_string(compressed ? compressed : 10) +
               " 1/2/2001 1:05:00 " + flags + " " + id + "\r\n";
    }

    // An object of its own appID on an image with these lines.
    ComPtr<IHalvorin> Engine(const std::string& appId, const std::string& imageLines) {
        const std::string image = appId + ".img";
        EXPECT_TRUE(WriteWholeFile(httpcontrol::RootDir() + image, "[VERSION 3]\r\n" + imageLines));
        return EngineOn(appId, "/" + image, app_.path());
    }

    ComPtr<IHalvorin> EngineOn(const std::string& appId, const std::string& image, const std::string& appDirectory) {
        ComPtr<IHalvorin> engine;
        EXPECT_EQ(S_OK, CoCreateInstance(CLSID_Halvorin, nullptr, CLSCTX_LOCAL_SERVER, IID_IHalvorin,
                                         engine.ReceiveVoid()));
        if (!engine) return engine;
        engine->put_appID(Bstr(AppId(appId)));
        engine->put_url(Bstr(httpcontrol::ServerAddress()));
        engine->put_imagePath(Bstr(image));
        engine->put_appDirectory(Bstr(appDirectory));
        engine->put_downloadDirectory(Bstr(app_.File("download")));
        engine->put_logFile(Bstr(Log(appId)));
        return engine;
    }

    static std::string AppId(const std::string& name) { return name + "-" + std::to_string(GetCurrentProcessId()); }
    std::string Log(const std::string& appId) { return app_.File(appId + ".log"); }
    // The program the engine starts again: it records its command line and directory.
    std::string Relaunch(const std::string& record) { return ChildProgram() + " record " + record; }

    static DWORD ServerProcess(IHalvorin* engine) {
        LONG id = 0;
        engine->get_processID(&id);
        return static_cast<DWORD>(id);
    }

    static uirobot::WindowFilter Of(DWORD processId) {
        uirobot::WindowFilter filter;
        filter.processId = processId;
        return filter;
    }

    // Waits for the server's progress dialog to show the status, then presses Cancel.
    static bool CancelWhenShown(DWORD server, const std::string& status) {
        HWND dialog = nullptr;
        for (int i = 0; i < 600; ++i) {
            if (dialog || uirobot::FindProgressDialog(Of(server), 100, &dialog)) {
                if (uirobot::ReadWindowText(GetDlgItem(dialog, uirobot::kStatusLine)) == status) {
                    return uirobot::ClickCancel(dialog);
                }
                if (!IsWindow(dialog)) dialog = nullptr;
            }
            Sleep(50);
        }
        return false;
    }

    // Starts the update of an installation and waits for the client's relaunch: the
    // parameters it was given ("/ok" or "/failed"), or "" when it was not started.
    std::string Update(IHalvorin* engine, int from, int to) {
        const std::string record = app_.File("relaunched.txt");
        DeleteFileA(record.c_str());
        EXPECT_EQ(S_OK, engine->StartPatch(0, Bstr(Relaunch(record)), Bstr(""), Bstr("/ok"), Bstr("/failed"), from, to));
        const std::string relaunched = WaitForFile(record);
        const std::string line = relaunched.substr(0, relaunched.find('\n'));
        return line.empty() ? line : line.substr(line.rfind(' ') + 1);
    }

    std::vector<std::string> Report(IHalvorin* engine) {
        const std::string file = app_.File("report.txt");
        DeleteFileA(file.c_str());
        engine->WriteErrorReport(Bstr(file));
        std::vector<std::string> lines;
        const std::string text = ReadWholeFile(file);
        for (size_t start = 0; start < text.size();) {
            const size_t end = text.find("\r\n", start);
            lines.push_back(text.substr(start + 2, end - start - 2));
            start = end + 2;
        }
        return lines;
    }

    ScratchDirectory app_{"run-app"};
};

}  // namespace engine_site
