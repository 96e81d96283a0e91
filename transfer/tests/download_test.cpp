// DownloadFile against real servers on loopback: the fault-injecting server of
// with_http_server.sh (slowed, cut, refusing; its request log shows what WinInet sent),
// a second one on another port, nginx (Range and basic authentication), and a small
// tmpfs that fills up. The progress dialog runs in this process; the UI robot reads it,
// clicks its Cancel button and closes the failure boxes.
//
// The same program runs in several CTest entries: the main run (servers 127.0.0.72 and
// 127.0.0.73:8073, small disk), the French run (a Wine session under fr_FR) and the nginx
// run; the last two pick their tests with --gtest_filter.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "transfer/transfer_context.h"
#include "common/image_time_win.h"
#include "common/win_handles.h"
#include "files/progress_dialog.h"
#include "common/resource_ids.h"
#include "tests/helpers/test_support.h"
#include "tests/robot/ui_robot.h"
#include "tests/support/http_control.h"
#include "transfer/download.h"
#include "common/message_texts.h"

namespace {

using httpcontrol::GetsOf;
using httpcontrol::LoggedRequest;
using testing_support::FileExists;
using testing_support::ReadWholeFile;
using testing_support::WriteWholeFile;

std::vector<LoggedRequest> RangedGets(const std::vector<LoggedRequest>& gets) {
    std::vector<LoggedRequest> ranged;
    for (const LoggedRequest& r : gets) {
        if (!r.range.empty()) ranged.push_back(r);
    }
    return ranged;
}

// Bytes that differ from one file to the next and from offset to offset.
std::string TestBytes(size_t size, unsigned seed) {
    std::string data(size, '\0');
    unsigned x = seed * 2654435761u + 1;
    for (char& c : data) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    return data;
}

bool ReadRecord(const std::string& remotePath, std::string* data) {
    char buffer[512] = "";
    DWORD size = sizeof buffer - 1;
    if (RegGetValueA(HKEY_CURRENT_USER, kResumeRecordKey, remotePath.c_str(), RRF_RT_REG_SZ | RRF_NOEXPAND, nullptr,
                     buffer, &size) != ERROR_SUCCESS) {
        return false;
    }
    *data = buffer;
    return true;
}

bool WriteRecord(const std::string& remotePath, const std::string& data) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kResumeRecordKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        return false;
    }
    const LONG result = RegSetValueExA(key, remotePath.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                                       static_cast<DWORD>(data.size() + 1));
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

void DeleteRecord(const std::string& remotePath) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kResumeRecordKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
    RegDeleteValueA(key, remotePath.c_str());
    RegCloseKey(key);
}

uirobot::WindowFilter OwnWindows() {
    uirobot::WindowFilter filter;
    filter.processId = GetCurrentProcessId();
    return filter;
}

bool SessionIsFrench() { return PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_FRENCH; }

// Reads the progress dialog of this process over and over while a transfer runs, and
// keeps every state whose texts or bars differ from the one before.
class DialogSampler {
public:
    DialogSampler() : thread_([this] { Run(); }) {}
    ~DialogSampler() { Stop(); }
    DialogSampler(const DialogSampler&) = delete;
    DialogSampler& operator=(const DialogSampler&) = delete;

    // Ends the sampling after one more reading; the states are complete afterwards.
    const std::vector<uirobot::ProgressDialogState>& Stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        return states_;
    }

    std::vector<std::string> FileFigures() {
        std::vector<std::string> texts;
        for (const auto& s : Stop()) {
            if (texts.empty() || texts.back() != s.fileFigures) texts.push_back(s.fileFigures);
        }
        return texts;
    }

    std::vector<int> FileBarPositions() {
        std::vector<int> positions;
        for (const auto& s : Stop()) {
            if (positions.empty() || positions.back() != s.fileBar.pos) positions.push_back(s.fileBar.pos);
        }
        return positions;
    }

private:
    static bool Same(const uirobot::ProgressDialogState& a, const uirobot::ProgressDialogState& b) {
        return a.status == b.status && a.fileFigures == b.fileFigures && a.totalFigures == b.totalFigures &&
               a.fileBar.pos == b.fileBar.pos && a.fileBar.high == b.fileBar.high &&
               a.totalBar.pos == b.totalBar.pos;
    }

    // A reading is kept only when a second one agrees with it: the robot asks a text's
    // length before the text, so a text that grows in between comes back cut.
    void Run() {
        uirobot::ProgressDialogState previous;
        bool havePrevious = false;
        // After the stop request, read on until two readings agree (a few times at most).
        for (int final = 0; final < 5;) {
            if (stop_) ++final;
            HWND dialog = progressDialog;
            uirobot::ProgressDialogState state;
            if (dialog && uirobot::ReadProgressDialog(dialog, &state)) {
                const bool stable = havePrevious && Same(state, previous);
                if (stable && (states_.empty() || !Same(state, states_.back()))) states_.push_back(state);
                previous = state;
                havePrevious = true;
                if (stable && final > 0) break;
            }
            if (!stop_) Sleep(2);
        }
    }

    std::atomic<bool> stop_{false};
    std::vector<uirobot::ProgressDialogState> states_;
    std::thread thread_;
};

// Waits until the dialog's status line shows the text, then clicks Cancel, as a user who
// cancels as soon as the file's transfer has begun.
class CancelWhenShown {
public:
    explicit CancelWhenShown(std::string status)
        : status_(std::move(status)), thread_([this] { Run(); }) {}
    ~CancelWhenShown() { Join(); }
    CancelWhenShown(const CancelWhenShown&) = delete;
    CancelWhenShown& operator=(const CancelWhenShown&) = delete;
    bool Join() {
        if (thread_.joinable()) thread_.join();
        return clicked_;
    }

private:
    void Run() {
        for (int i = 0; i < 1000; ++i) {
            HWND dialog = progressDialog;
            if (dialog && uirobot::ReadWindowText(GetDlgItem(dialog, IDC_PROGRESS_STATUS)) == status_) {
                clicked_ = uirobot::ClickCancel(dialog);
                return;
            }
            Sleep(10);
        }
    }

    std::string status_;
    bool clicked_ = false;
    std::thread thread_;
};

class DownloadTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { LoadMessageTexts(GetModuleHandleA(nullptr)); }

    void SetUp() override {
        ASSERT_FALSE(httpcontrol::ControlDir().empty()) << "run through with_http_server.sh or with_nginx.sh";
        site_ = httpcontrol::ServerAddress();
        httpcontrol::ClearRules();
        httpcontrol::ClearRequestLog();
        diagnostics_.log.SetPath(scratch_.File("engine.log"));
        ASSERT_TRUE(OpenProgressDialog());
        ASSERT_FALSE(abortRequested);
    }

    void TearDown() override {
        CloseProgressDialog();
        for (const std::string& path : records_) DeleteRecord(path);
    }

    // A file of the given size on the server; its bytes.
    std::string Serve(const std::string& name, size_t size) {
        std::string data = TestBytes(size, static_cast<unsigned>(name.size() * 131 + size));
        EXPECT_TRUE(httpcontrol::WriteWholeFile(httpcontrol::RootDir() + name, data));
        return data;
    }

    ImageFileEntry Entry(const std::string& name, uint32_t downloadSize) {
        ImageFileEntry entry;
        entry.site = site_;
        entry.remotePath = "/" + name;
        entry.localPath = scratch_.File(name);
        entry.downloadSize = downloadSize;
        entry.expectedSize = downloadSize;
        entry.fileId = "07A1B2C3D4";
        entry.timestamp.year = 2001;
        entry.timestamp.month = 2;
        entry.timestamp.day = 3;
        entry.timestamp.hour = 4;
        entry.timestamp.minute = 5;
        entry.timestamp.second = 6;
        records_.push_back(entry.remotePath);
        DeleteRecord(entry.remotePath);
        return entry;
    }

    static void ExpectStamped(const ImageFileEntry& entry) {
        const SYSTEMTIME stamp = ToSystemTime(entry.timestamp);
        FILETIME expected;
        ASSERT_TRUE(SystemTimeToFileTime(&stamp, &expected));
        HANDLE file = CreateFileA(entry.localPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                  nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        FILETIME lastWrite;
        const BOOL got = GetFileTime(file, nullptr, nullptr, &lastWrite);
        CloseHandle(file);
        ASSERT_TRUE(got);
        EXPECT_EQ(expected.dwLowDateTime, lastWrite.dwLowDateTime);
        EXPECT_EQ(expected.dwHighDateTime, lastWrite.dwHighDateTime);
    }

    std::string LogText() { return ReadWholeFile(scratch_.File("engine.log")); }

    // The one box that a failing call shows; closes it.
    static uirobot::MessageBoxInfo OnlyBox(const uirobot::BoxWatcher& boxes) {
        EXPECT_TRUE(boxes.WaitForCount(1, 10000));
        std::vector<uirobot::MessageBoxInfo> seen = boxes.Seen();
        EXPECT_EQ(1u, seen.size());
        return seen.empty() ? uirobot::MessageBoxInfo() : seen[0];
    }

    testing_support::ScratchDirectory scratch_{"download"};
    std::string site_;
    Diagnostics diagnostics_;
    TransferContext context_{diagnostics_};
    std::vector<std::string> records_;
};

TEST_F(DownloadTest, FirstDownloadStepsTheBarsAndStampsTheFile) {
    const std::string data = Serve("first.bin", 40000);
    // Blocks come 0.15 s apart, the first after 0.3 s, so that the robot sees every state.
    ASSERT_TRUE(httpcontrol::WriteRules(
        R"({"paths": {"/first.bin": {"pause_after": 0, "pause": 0.3, "chunk_size": 16384, "chunk_delay": 0.15}}})"));
    const ImageFileEntry entry = Entry("first.bin", 40000);
    context_.bytesTotal = 40000;
    ResetProgressBar(IDC_PROGRESS_TOTAL_BAR, context_.bytesTotal);

    DialogSampler sampler;
    uirobot::BoxWatcher boxes(OwnWindows());
    ASSERT_TRUE(DownloadFile(context_, entry));
    const std::vector<uirobot::ProgressDialogState> states = sampler.Stop();

    EXPECT_TRUE(ReadWholeFile(entry.localPath) == data);
    EXPECT_EQ(40000u, context_.bytesDone);
    std::string record;
    EXPECT_FALSE(ReadRecord("/first.bin", &record)) << record;
    ExpectStamped(entry);
    EXPECT_EQ(0u, boxes.Count());

    // 16,384 + 16,384 + 7,232 bytes: the file bar (0..3) takes three steps.
    ASSERT_FALSE(states.empty());
    const uirobot::ProgressDialogState& last = states.back();
    EXPECT_EQ("Downloading file: first.bin", last.status);
    EXPECT_EQ(0, last.fileBar.low);
    EXPECT_EQ(3, last.fileBar.high);
    EXPECT_EQ(1, last.fileBar.step);
    EXPECT_EQ(3, last.fileBar.pos);
    EXPECT_EQ(3, last.totalBar.pos);
    EXPECT_EQ("0.04 / 0.04M", last.fileFigures);
    EXPECT_EQ("0.04 / 0.04M", last.totalFigures);
    EXPECT_EQ((std::vector<int>{0, 1, 2, 3}), sampler.FileBarPositions());
    EXPECT_EQ((std::vector<std::string>{"0/0M", "0.02 / 0.04M", "0.03 / 0.04M", "0.04 / 0.04M"}),
              sampler.FileFigures());

    const std::vector<LoggedRequest> gets = GetsOf("/first.bin");
    ASSERT_EQ(1u, gets.size());
    EXPECT_EQ("", gets[0].range);
    EXPECT_EQ("Halvorin", gets[0].userAgent);
    EXPECT_EQ("", LogText());
}

TEST_F(DownloadTest, CancelAfterTheFirstBlockThenResumeWhereItStopped) {
    const std::string data = Serve("resume.bin", 100000);
    // Every answer waits a second before its body: time for the robot to press Cancel,
    // and to read the figures that the resumed transfer shows before its first block.
    ASSERT_TRUE(httpcontrol::WriteRules(R"({"paths": {"/resume.bin": {"pause_after": 0, "pause": 1.0}}})"));
    const ImageFileEntry entry = Entry("resume.bin", 100000);
    context_.bytesTotal = 100000;
    {
        uirobot::BoxWatcher boxes(OwnWindows());
        CancelWhenShown user("Downloading file: resume.bin");
        EXPECT_FALSE(DownloadFile(context_, entry));
        EXPECT_TRUE(user.Join());
        EXPECT_EQ(0u, boxes.Count());
    }
    EXPECT_TRUE(abortRequested);
    EXPECT_NE(nullptr, progressDialog.load()) << "Cancel does not close the dialog";
    EXPECT_TRUE(ReadWholeFile(entry.localPath) == data.substr(0, 16384))
        << ReadWholeFile(entry.localPath).size();
    std::string record;
    EXPECT_TRUE(ReadRecord("/resume.bin", &record));
    EXPECT_EQ("07A1B2C3D4", record);
    EXPECT_EQ("\r\nFile /resume.bin download aborted.", LogText());

    // The next run opens the dialog anew, which clears the abort.
    CloseProgressDialog();
    ASSERT_TRUE(OpenProgressDialog());
    ASSERT_FALSE(abortRequested);
    httpcontrol::ClearRequestLog();
    context_.bytesDone = 0;
    ResetProgressBar(IDC_PROGRESS_TOTAL_BAR, context_.bytesTotal);
    DialogSampler sampler;
    ASSERT_TRUE(DownloadFile(context_, entry));
    const std::vector<uirobot::ProgressDialogState> states = sampler.Stop();

    EXPECT_TRUE(ReadWholeFile(entry.localPath) == data) << ReadWholeFile(entry.localPath).size();
    EXPECT_FALSE(ReadRecord("/resume.bin", &record));
    EXPECT_EQ(100000u, context_.bytesDone);
    const std::vector<std::string> figures = sampler.FileFigures();
    ASSERT_GE(figures.size(), 2u);
    EXPECT_EQ("0.02 / 0.10M   <resuming>", figures[figures.size() > 1 && figures[0] == "0/0M" ? 1 : 0]);
    EXPECT_EQ("0.10 / 0.10M", figures.back());
    ASSERT_FALSE(states.empty());
    // Resumed at block 1, then six more blocks (five whole ones and 1,696 bytes).
    EXPECT_EQ(7, states.back().fileBar.high);
    EXPECT_EQ(7, states.back().fileBar.pos);
    EXPECT_EQ(7, states.back().totalBar.pos);
    const std::vector<int> positions = sampler.FileBarPositions();
    ASSERT_GE(positions.size(), 2u);
    EXPECT_EQ(1, positions[positions[0] == 0 ? 1 : 0]);

    const std::vector<LoggedRequest> ranged = RangedGets(GetsOf("/resume.bin"));
    ASSERT_EQ(1u, ranged.size());
    EXPECT_EQ("bytes=16384-", ranged[0].range);
    EXPECT_EQ(206, ranged[0].status);
    EXPECT_EQ(100000 - 16384, ranged[0].bytesSent);
}

TEST_F(DownloadTest, AnotherFileIdStartsOverTheSameIdResumes) {
    const std::string data = Serve("changed.bin", 50000);
    ImageFileEntry entry = Entry("changed.bin", 50000);

    // The record names another file: the partial file is cut and fetched anew.
    ASSERT_TRUE(WriteWholeFile(entry.localPath, TestBytes(16384, 99)));
    ASSERT_TRUE(WriteRecord("/changed.bin", "00AAAAAAAA"));
    entry.fileId = "00BBBBBBBB";
    ASSERT_TRUE(DownloadFile(context_, entry));
    EXPECT_TRUE(ReadWholeFile(entry.localPath) == data);
    EXPECT_TRUE(RangedGets(GetsOf("/changed.bin")).empty());
    std::string record;
    EXPECT_FALSE(ReadRecord("/changed.bin", &record));

    // So does a record too long to be read whole: it compares as its first 249 characters.
    httpcontrol::ClearRequestLog();
    ASSERT_TRUE(WriteWholeFile(entry.localPath, TestBytes(16384, 98)));
    ASSERT_TRUE(WriteRecord("/changed.bin", std::string(300, 'A')));
    ASSERT_TRUE(DownloadFile(context_, entry));
    EXPECT_TRUE(ReadWholeFile(entry.localPath) == data) << "another file's part was resumed";
    EXPECT_TRUE(RangedGets(GetsOf("/changed.bin")).empty());

    // Ids that differ only in their minute digits name the same file: resumed.
    httpcontrol::ClearRequestLog();
    ASSERT_TRUE(WriteWholeFile(entry.localPath, data.substr(0, 16384)));
    ASSERT_TRUE(WriteRecord("/changed.bin", "59CCCCCCCC"));
    entry.fileId = "00CCCCCCCC";
    ASSERT_TRUE(DownloadFile(context_, entry));
    EXPECT_TRUE(ReadWholeFile(entry.localPath) == data);
    const std::vector<LoggedRequest> ranged = RangedGets(GetsOf("/changed.bin"));
    ASSERT_EQ(1u, ranged.size());
    EXPECT_EQ("bytes=16384-", ranged[0].range);
}

TEST_F(DownloadTest, SizeOfTheLocalFileDecidesWhereTheTransferStarts) {
    const std::string data = Serve("sized.bin", 50000);
    const ImageFileEntry entry = Entry("sized.bin", 50000);
    struct Case {
        const char* what;
        std::string local;
        uint32_t downloadSize;
        const char* range;  // "" when fetched from the start
    };
    const Case cases[] = {
        {"as large as the download, though complete", data, 50000, ""},
        {"larger than the download", TestBytes(60000, 7), 50000, ""},
        {"smaller, without a record", data.substr(0, 20000), 50000, "bytes=20000-"},
        {"a download size of 0 never resumes", data.substr(0, 100), 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        httpcontrol::ClearRequestLog();
        DeleteRecord("/sized.bin");
        ASSERT_TRUE(WriteWholeFile(entry.localPath, c.local));
        ImageFileEntry request = entry;
        request.downloadSize = c.downloadSize;
        ASSERT_TRUE(DownloadFile(context_, request));
        EXPECT_TRUE(ReadWholeFile(entry.localPath) == data) << ReadWholeFile(entry.localPath).size();
        const std::vector<LoggedRequest> ranged = RangedGets(GetsOf("/sized.bin"));
        if (*c.range) {
            ASSERT_EQ(1u, ranged.size());
            EXPECT_EQ(c.range, ranged[0].range);
        } else {
            EXPECT_TRUE(ranged.empty());
        }
    }
}

// A server that answers the Range request with the whole file: the transfer takes the
// first answer from its start and writes it over the partial file from its start.
TEST_F(DownloadTest, ServerThatIgnoresTheRangeGivesTheWholeFile) {
    const std::string data = Serve("norange.bin", 50000);
    ASSERT_TRUE(httpcontrol::WriteRules(R"({"paths": {"/norange.bin": {"ignore_range": true}}})"));
    const ImageFileEntry entry = Entry("norange.bin", 50000);
    ASSERT_TRUE(WriteWholeFile(entry.localPath, TestBytes(16384, 3)));
    ASSERT_TRUE(DownloadFile(context_, entry));
    EXPECT_TRUE(ReadWholeFile(entry.localPath) == data) << ReadWholeFile(entry.localPath).size();
    EXPECT_EQ(50000u, context_.bytesDone);
    const std::vector<LoggedRequest> ranged = RangedGets(GetsOf("/norange.bin"));
    ASSERT_EQ(1u, ranged.size());
    EXPECT_EQ(200, ranged[0].status);
}

// An answer that declared its length and broke before it is asked for again from where
// it broke, up to three times; one that keeps breaking is a failure that keeps the part.
TEST_F(DownloadTest, CutAnswerIsResumedThreeTimesThenFails) {
    const size_t size = 1024 * 1024;
    const size_t cut = 100 * 1024;
    const std::string data = Serve("cut.bin", size);
    const ImageFileEntry entry = Entry("cut.bin", static_cast<uint32_t>(size));
    const auto logLine = [](size_t at, unsigned attempt) {
        return "\r\nFile /cut.bin download interrupted after " + std::to_string(at) + " of 1048576 bytes; resuming (" +
               std::to_string(attempt) + " of 3).";
    };
    // Three answers are cut, the fourth brings the rest.
    ASSERT_TRUE(httpcontrol::WriteRules(R"({"paths": {"/cut.bin": {"cut_after": 102400, "times": 3}}})"));
    {
        uirobot::BoxWatcher boxes(OwnWindows());
        EXPECT_TRUE(DownloadFile(context_, entry));
        EXPECT_EQ(0u, boxes.Count());
    }
    EXPECT_TRUE(ReadWholeFile(entry.localPath) == data) << ReadWholeFile(entry.localPath).size();
    EXPECT_EQ(size, context_.bytesDone);
    std::string record;
    EXPECT_FALSE(ReadRecord("/cut.bin", &record));
    ExpectStamped(entry);
    std::vector<LoggedRequest> gets = GetsOf("/cut.bin");
    ASSERT_EQ(4u, gets.size());
    for (size_t i = 1; i < gets.size(); ++i) {
        EXPECT_EQ("bytes=" + std::to_string(i * cut) + "-", gets[i].range);
        EXPECT_EQ(206, gets[i].status);
    }
    EXPECT_EQ(logLine(cut, 1) + logLine(2 * cut, 2) + logLine(3 * cut, 3), LogText());

    // Every answer is cut: after three resumptions the call fails like a refused file,
    // keeping the part it has and its record for a later run.
    httpcontrol::ClearRequestLog();
    ASSERT_TRUE(httpcontrol::WriteRules(R"({"paths": {"/cut.bin": {"cut_after": 102400}}})"));
    DeleteFileA(entry.localPath.c_str());
    DeleteFileA(scratch_.File("engine.log").c_str());
    uirobot::BoxWatcher boxes(OwnWindows());
    EXPECT_FALSE(DownloadFile(context_, entry));
    const uirobot::MessageBoxInfo box = OnlyBox(boxes);
    EXPECT_EQ(0u, box.caption.find("Error 120")) << box.caption;  // a WinInet code
    EXPECT_NE("Error 0", box.caption);
    EXPECT_EQ(FormatMessageText(IDS_CANNOT_DOWNLOAD, "/cut.bin", site_.c_str()), box.text);
    const std::string text =
        "File /cut.bin could not be downloaded from site " + site_ + ": the connection broke before the end.";
    EXPECT_EQ(std::vector<std::string>{text}, diagnostics_.errorReport.Texts());
    EXPECT_EQ(logLine(cut, 1) + logLine(2 * cut, 2) + logLine(3 * cut, 3) + "\r\n" + text, LogText());
    EXPECT_TRUE(ReadWholeFile(entry.localPath) == data.substr(0, 4 * cut)) << ReadWholeFile(entry.localPath).size();
    EXPECT_TRUE(ReadRecord("/cut.bin", &record));
    EXPECT_EQ(entry.fileId, record);
    EXPECT_EQ(4u, GetsOf("/cut.bin").size());
}

// An answer without a declared length cannot be told from a complete one.
// An answer without a declared length cannot be resumed within the transfer: one that
// ends short of the image's size, or whose read fails, is a failure, and what came stays
// for the next transfer to resume. One that comes whole is complete.
TEST_F(DownloadTest, AnswerWithoutLengthIsCompleteOnlyAtTheImagesSize) {
    const std::string data = Serve("nolength.bin", 50000);
    const ImageFileEntry entry = Entry("nolength.bin", 50000);
    const std::string text =
        "File /nolength.bin could not be downloaded from site " + site_ + ": the connection broke before the end.";
    // An orderly end after 20,000 bytes, then a reset after 30,000 (a failed read, whose
    // last piece the platform does not hand over).
    size_t kept = 0;
    for (const char* rule : {R"({"cut_after": 20000, "no_length": true})",
                             R"({"cut_after": 30000, "no_length": true, "cut_mode": "reset", "cut_delay": 0.5})"}) {
        SCOPED_TRACE(rule);
        DeleteFileA(entry.localPath.c_str());
        diagnostics_.errorReport.Clear();
        ASSERT_TRUE(httpcontrol::WriteRules(std::string(R"({"paths": {"/nolength.bin": )") + rule + "}}"));
        uirobot::BoxWatcher boxes(OwnWindows());
        EXPECT_FALSE(DownloadFile(context_, entry));
        const uirobot::MessageBoxInfo box = OnlyBox(boxes);
        EXPECT_EQ(0u, box.caption.find("Error ")) << box.caption;
        EXPECT_NE("Error 0", box.caption);
        EXPECT_EQ(std::vector<std::string>{text}, diagnostics_.errorReport.Texts());
        const std::string part = ReadWholeFile(entry.localPath);
        kept = part.size();
        EXPECT_TRUE(kept > 0 && kept <= 30000 && part == data.substr(0, kept)) << kept;
        std::string record;
        EXPECT_TRUE(ReadRecord("/nolength.bin", &record));
    }
    // The next transfer asks for the rest, and the whole is complete without a length too.
    httpcontrol::ClearRequestLog();
    ASSERT_TRUE(httpcontrol::WriteRules(R"({"paths": {"/nolength.bin": {"no_length": true}}})"));
    uirobot::BoxWatcher boxes(OwnWindows());
    EXPECT_TRUE(DownloadFile(context_, entry));
    EXPECT_EQ(0u, boxes.Count());
    EXPECT_TRUE(ReadWholeFile(entry.localPath) == data);
    ASSERT_EQ(1u, GetsOf("/nolength.bin").size());
    EXPECT_EQ("bytes=" + std::to_string(kept) + "-", GetsOf("/nolength.bin")[0].range);
}

// A transfer resumed 2 GiB or more into the file goes on at that offset.
TEST_F(DownloadTest, ResumeBeyondTwoGibibytes) {
    const uint64_t size = 0x80000000ull + 100000;
    const uint64_t present = 0x80000000ull + 16384;
    ASSERT_TRUE(httpcontrol::WriteRules(R"({"paths": {"/huge.bin": {"generate": 2147583648}}})"));
    const ImageFileEntry entry = Entry("huge.bin", static_cast<uint32_t>(size));
    {
        // A sparse partial file: it takes no room on the disk.
        UniqueHandle file(CreateFileA(entry.localPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(file.valid());
        LARGE_INTEGER end;
        end.QuadPart = static_cast<LONGLONG>(present);
        ASSERT_TRUE(SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN) && SetEndOfFile(file.get()));
    }
    ASSERT_TRUE(WriteRecord("/huge.bin", entry.fileId));
    ASSERT_TRUE(DownloadFile(context_, entry));

    UniqueHandle file(CreateFileA(entry.localPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                  nullptr));
    ASSERT_TRUE(file.valid());
    LARGE_INTEGER length;
    ASSERT_TRUE(GetFileSizeEx(file.get(), &length));
    EXPECT_EQ(size, static_cast<uint64_t>(length.QuadPart));
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(present);
    ASSERT_TRUE(SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN));
    std::string tail(static_cast<size_t>(size - present), '\0');
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(file.get(), &tail[0], static_cast<DWORD>(tail.size()), &got, nullptr));
    ASSERT_EQ(tail.size(), got);
    size_t wrong = 0;
    for (size_t i = 0; i < tail.size(); ++i) wrong += static_cast<uint8_t>(tail[i]) != (present + i) % 251;
    EXPECT_EQ(0u, wrong) << "bytes that the generator did not put there";
    const std::vector<LoggedRequest> ranged = RangedGets(GetsOf("/huge.bin"));
    ASSERT_EQ(1u, ranged.size());
    EXPECT_EQ("bytes=" + std::to_string(present) + "-", ranged[0].range);
    EXPECT_EQ(206, ranged[0].status);
}

// Waits for this process's next message box, notes whether it is the window under its own
// OK button (nothing covers it), and closes it.
class UncoveredBox {
public:
    UncoveredBox() : thread_([this] { Run(); }) {}
    ~UncoveredBox() { Join(); }
    void Join() {
        if (thread_.joinable()) thread_.join();
    }
    uirobot::MessageBoxInfo box;
    bool uncovered = false;

private:
    void Run() {
        if (!uirobot::FindMessageBox(OwnWindows(), 10000, &box)) return;
        RECT button;
        if (GetWindowRect(GetDlgItem(box.window, IDOK), &button)) {
            const POINT middle = {(button.left + button.right) / 2, (button.top + button.bottom) / 2};
            uncovered = GetAncestor(WindowFromPoint(middle), GA_ROOT) == box.window;
        }
        uirobot::CloseMessageBox(box.window);
    }
    std::thread thread_;
};

// The box shows over the open progress dialog, which sits at the top of the z-order but
// not above every other window.
TEST_F(DownloadTest, NotFoundShowsTheStatusAndCreatesNoFile) {
    const ImageFileEntry entry = Entry("missing.bin", 1000);
    UncoveredBox watcher;
    EXPECT_FALSE(DownloadFile(context_, entry));
    watcher.Join();
    const uirobot::MessageBoxInfo box = watcher.box;
    EXPECT_TRUE(watcher.uncovered) << "the progress dialog covers the box";
    EXPECT_EQ("Error 404", box.caption);
    EXPECT_EQ(FormatMessageText(IDS_CANNOT_DOWNLOAD, "/missing.bin", site_.c_str()), box.text);
    EXPECT_EQ(0u, box.text.find("File /missing.bin could not be downloaded from site " + site_ + ".\r\n\r\n"));
    EXPECT_FALSE(FileExists(entry.localPath));
    const std::string text = "File /missing.bin could not be downloaded from site " + site_ + ".";
    EXPECT_EQ(std::vector<std::string>{text}, diagnostics_.errorReport.Texts());
    EXPECT_EQ("\r\n" + text, LogText());
    std::string record;
    EXPECT_FALSE(ReadRecord("/missing.bin", &record));
}

TEST_F(DownloadTest, LocalFileThatCannotBeCreatedIsReported) {
    Serve("locked.bin", 30000);
    const ImageFileEntry entry = Entry("locked.bin", 30000);
    const std::string report =
        "File " + entry.localPath +
        " could not be created on disk.\r\nMake sure that no other application is currently\r\nlocking this file "
        "and run scandisk.";
    const std::string logLine = "\r\nFile " + entry.localPath + " could not be created on disk.";

    // Another process holds the file open without sharing.
    ASSERT_TRUE(WriteWholeFile(entry.localPath, "old"));
    {
        testing_support::HeldFile held(entry.localPath);
        ASSERT_TRUE(held.holding());
        uirobot::BoxWatcher boxes(OwnWindows());
        EXPECT_FALSE(DownloadFile(context_, entry));
        const uirobot::MessageBoxInfo box = OnlyBox(boxes);
        EXPECT_EQ("Error", box.caption);
        EXPECT_EQ(FormatMessageText(IDS_CANNOT_CREATE_ON_DISK, entry.localPath.c_str()), box.text);
        EXPECT_EQ(0u, box.text.find("File " + entry.localPath + " could not be created on disk."));
    }
    EXPECT_EQ("old", ReadWholeFile(entry.localPath));

    // A directory stands where the file should go.
    ASSERT_TRUE(DeleteFileA(entry.localPath.c_str()));
    ASSERT_TRUE(CreateDirectoryA(entry.localPath.c_str(), nullptr));
    {
        uirobot::BoxWatcher boxes(OwnWindows());
        EXPECT_FALSE(DownloadFile(context_, entry));
        EXPECT_EQ("Error", OnlyBox(boxes).caption);
    }
    RemoveDirectoryA(entry.localPath.c_str());
    EXPECT_EQ((std::vector<std::string>{report, report}), diagnostics_.errorReport.Texts());
    EXPECT_EQ(logLine + logLine, LogText());
    std::string record;
    EXPECT_FALSE(ReadRecord("/locked.bin", &record));
}

TEST_F(DownloadTest, MissingDirectoriesOfTheLocalPathAreCreated) {
    const std::string data = Serve("deep.bin", 1000);
    ImageFileEntry entry = Entry("deep.bin", 1000);
    entry.localPath = scratch_.path() + "\\a\\b/c\\deep.bin";
    ASSERT_TRUE(DownloadFile(context_, entry));
    EXPECT_TRUE(ReadWholeFile(entry.localPath) == data);
}

TEST_F(DownloadTest, FullDiskKeepsThePartialFileAndItsRecord) {
    const std::string smallDisk = httpcontrol::EnvText("HALVORIN_SMALL_DISK");
    ASSERT_FALSE(smallDisk.empty()) << "run through with_small_disk.sh";
    const std::string data = Serve("full.bin", 300000);
    ImageFileEntry entry = Entry("full.bin", 300000);
    entry.localPath = httpcontrol::WineDirectory(smallDisk) + "full.bin";
    DeleteFileA(entry.localPath.c_str());
    const std::string text = "There is no more space on disk to store the\r\ndownloaded file " + entry.localPath +
                             ". Please free some space\r\nand retry.";
    {
        uirobot::BoxWatcher boxes(OwnWindows());
        EXPECT_FALSE(DownloadFile(context_, entry));
        const uirobot::MessageBoxInfo box = OnlyBox(boxes);
        EXPECT_EQ("Error", box.caption);
        EXPECT_EQ(FormatMessageText(IDS_DISK_FULL, entry.localPath.c_str()), box.text);
    }
    EXPECT_EQ(std::vector<std::string>{text}, diagnostics_.errorReport.Texts());
    EXPECT_EQ(text, LogText());
    const std::string partial = ReadWholeFile(entry.localPath);
    EXPECT_GT(partial.size(), 0u);
    EXPECT_LE(partial.size(), 65536u);
    EXPECT_TRUE(partial == data.substr(0, partial.size())) << "the partial file is a clean start for a resume";
    std::string record;
    EXPECT_TRUE(ReadRecord("/full.bin", &record));
    EXPECT_EQ(entry.fileId, record);
    // The transfer stopped at the failed write rather than reading the rest.
    EXPECT_LT(context_.bytesDone, 300000u);
    DeleteFileA(entry.localPath.c_str());
}

TEST_F(DownloadTest, SiteWithPortReachesThatPort) {
    const std::string otherSite = httpcontrol::EnvText("HALVORIN_OTHER_HTTP_SITE");
    const std::string otherRoot = httpcontrol::EnvText("HALVORIN_OTHER_HTTP_ROOT");
    const std::string otherControl = httpcontrol::EnvText("HALVORIN_OTHER_HTTP_CONTROL");
    ASSERT_FALSE(otherSite.empty() || otherRoot.empty() || otherControl.empty()) << "no second server";
    const std::string otherLog = httpcontrol::WineDirectory(otherControl) + "requests.jsonl";
    DeleteFileA(otherLog.c_str());
    const std::string data = TestBytes(30000, 5);
    ASSERT_TRUE(httpcontrol::WriteWholeFile(httpcontrol::WineDirectory(otherRoot) + "port.bin", data));

    ImageFileEntry entry = Entry("port.bin", 30000);
    entry.site = otherSite;
    ASSERT_TRUE(DownloadFile(context_, entry));
    EXPECT_TRUE(ReadWholeFile(entry.localPath) == data);
    std::vector<LoggedRequest> otherGets;
    for (const LoggedRequest& r : httpcontrol::ReadRequestLogFile(otherLog)) {
        if (r.path == "/port.bin") otherGets.push_back(r);
    }
    ASSERT_EQ(1u, otherGets.size());
    EXPECT_EQ(otherSite, httpcontrol::detail::Field(otherGets[0].line, "host"));

    // Without the port the host is asked on port 80, where nothing listens (case C).
    entry.site = otherSite.substr(0, otherSite.rfind(':'));
    uirobot::BoxWatcher boxes(OwnWindows());
    EXPECT_FALSE(DownloadFile(context_, entry));
    const uirobot::MessageBoxInfo box = OnlyBox(boxes);
    EXPECT_EQ("Error 12029", box.caption);  // ERROR_INTERNET_CANNOT_CONNECT
    EXPECT_EQ(FormatMessageText(IDS_CANNOT_SEND_REQUEST, "/port.bin", entry.site.c_str()), box.text);
    EXPECT_EQ("\r\nFailed to send GET request for file /port.bin on site " + entry.site + ".", LogText());
}

TEST_F(DownloadTest, ConnectionRefusedByInternetConnectIsCaseA) {
    ImageFileEntry entry = Entry("nosite.bin", 100);
    entry.site = "";
    uirobot::BoxWatcher boxes(OwnWindows());
    EXPECT_FALSE(DownloadFile(context_, entry));
    const uirobot::MessageBoxInfo box = OnlyBox(boxes);
    EXPECT_EQ("Error 87", box.caption);  // ERROR_INVALID_PARAMETER for an empty host
    EXPECT_EQ(FormatMessageText(IDS_CANNOT_OPEN_SITE, ""), box.text);
    EXPECT_EQ(std::vector<std::string>{"Could not open site ."}, diagnostics_.errorReport.Texts());
    EXPECT_EQ("\r\nCould not open site .", LogText());
}

TEST_F(DownloadTest, CredentialsAndRefererAsGiven) {
    Serve("auth.bin", 20000);
    // WinInet offers the credentials that a host has seen to later connections without
    // any, so the case without a user name comes first.
    ASSERT_TRUE(httpcontrol::WriteRules(R"({"paths": {"/auth.bin": {"auth": {"user": "u", "password": "p"}}}})"));
    struct Case {
        const char* user;
        const char* password;
        const char* sent;
        bool ok;
    };
    for (const Case& c : {Case{"", "p", "", false}, Case{"u", "", "u:", false}, Case{"u", "p", "u:p", true}}) {
        SCOPED_TRACE(std::string("user '") + c.user + "' password '" + c.password + "'");
        httpcontrol::ClearRequestLog();
        ImageFileEntry entry = Entry("auth.bin", 20000);
        entry.userName = c.user;
        entry.password = c.password;
        uirobot::BoxWatcher boxes(OwnWindows());
        EXPECT_EQ(c.ok, DownloadFile(context_, entry));
        const std::vector<LoggedRequest> gets = GetsOf("/auth.bin");
        ASSERT_FALSE(gets.empty());
        for (const LoggedRequest& r : gets) EXPECT_TRUE(r.authorization.empty() || r.authorization == c.sent) << r.line;
        EXPECT_EQ(c.sent, gets.back().authorization);
        if (!c.ok) {
            EXPECT_EQ("Error 401", OnlyBox(boxes).caption);
        }
    }

    Serve("ref.bin", 100);
    context_.referer = "http://client.example/update";
    ASSERT_TRUE(DownloadFile(context_, Entry("ref.bin", 100)));
    context_.referer.clear();
    ASSERT_TRUE(DownloadFile(context_, Entry("ref.bin", 100)));
    const std::vector<LoggedRequest> gets = GetsOf("/ref.bin");
    ASSERT_EQ(2u, gets.size());
    EXPECT_EQ("http://client.example/update", gets[0].referer);
    EXPECT_NE(std::string::npos, gets[1].line.find("\"referer\":null")) << gets[1].line;
}

// Run in the English session and, by its own CTest entry, in a French one.
TEST_F(DownloadTest, FiguresAndStatusInTheSessionLanguage) {
    const bool french = std::getenv("HALVORIN_EXPECT_FRENCH") != nullptr;
    ASSERT_EQ(french, SessionIsFrench()) << "UI language " << GetUserDefaultUILanguage();
    const std::string data = Serve("langue.bin", 50000);
    ASSERT_TRUE(httpcontrol::WriteRules(
        R"({"paths": {"/langue.bin": {"pause_after": 0, "pause": 0.5, "chunk_size": 16384, "chunk_delay": 0.3}}})"));
    const ImageFileEntry entry = Entry("langue.bin", 50000);
    // A partial file without a record is resumed, which shows the resume figures too.
    ASSERT_TRUE(WriteWholeFile(entry.localPath, data.substr(0, 16384)));
    context_.bytesTotal = 50000;
    DialogSampler sampler;
    ASSERT_TRUE(DownloadFile(context_, entry));
    const std::vector<uirobot::ProgressDialogState> states = sampler.Stop();
    EXPECT_TRUE(ReadWholeFile(entry.localPath) == data);

    ASSERT_FALSE(states.empty());
    const std::string m = french ? "Mo" : "M";
    EXPECT_EQ(french ? "T\xE9l\xE9" "chargement du fichier : langue.bin" : "Downloading file: langue.bin",
              states.back().status);
    EXPECT_EQ(french ? "Ce fichier:" : "This file:", states.back().fileLabel);
    EXPECT_EQ("Total:", states.back().totalLabel);
    std::vector<std::string> figures = sampler.FileFigures();
    if (!figures.empty() && figures[0] == "0/0M") figures.erase(figures.begin());
    const std::string resuming = french ? "   <reprise de la transmission>" : "   <resuming>";
    EXPECT_EQ((std::vector<std::string>{"0.02 / 0.05" + m + resuming, "0.03 / 0.05" + m, "0.05 / 0.05" + m}), figures);
    EXPECT_EQ("0.05 / 0.05" + m, states.back().totalFigures);
}

// Against nginx (run by with_nginx.sh with basic authentication): a real server's Range
// answer for a resumed transfer.
class NginxDownload : public DownloadTest {};

std::vector<std::string> NginxLog() {
    return httpcontrol::LogLines(httpcontrol::ControlDir() + "nginx_requests.jsonl");
}

TEST_F(NginxDownload, ResumeWithCredentials) {
    const std::string user = httpcontrol::EnvText("HALVORIN_NGINX_USER");
    const std::string password = httpcontrol::EnvText("HALVORIN_NGINX_PASSWORD");
    ASSERT_FALSE(user.empty()) << "run through with_nginx.sh --auth";
    const std::string data = Serve("nginx.bin", 200000);
    ImageFileEntry entry = Entry("nginx.bin", 200000);
    entry.userName = user;
    entry.password = password;

    ASSERT_TRUE(DownloadFile(context_, entry));
    EXPECT_TRUE(ReadWholeFile(entry.localPath) == data);

    // A transfer that stopped after 3 blocks, as a cancel leaves it.
    ASSERT_TRUE(WriteWholeFile(entry.localPath, data.substr(0, 3 * 16384)));
    ASSERT_TRUE(WriteRecord("/nginx.bin", entry.fileId));
    const size_t before = NginxLog().size();
    ASSERT_TRUE(DownloadFile(context_, entry));
    EXPECT_TRUE(ReadWholeFile(entry.localPath) == data) << ReadWholeFile(entry.localPath).size();
    std::string record;
    EXPECT_FALSE(ReadRecord("/nginx.bin", &record));
    ExpectStamped(entry);

    const std::vector<std::string> log = NginxLog();
    ASSERT_GT(log.size(), before);
    // WinInet may first ask without credentials and repeat the request after the 401.
    int resumed = 0;
    for (size_t i = before; i < log.size(); ++i) {
        if (httpcontrol::detail::Field(log[i], "range") != "bytes=49152-") continue;
        if (httpcontrol::detail::Field(log[i], "status") == "401") continue;
        ++resumed;
        EXPECT_EQ("206", httpcontrol::detail::Field(log[i], "status")) << log[i];
        EXPECT_EQ(user, httpcontrol::detail::Field(log[i], "user")) << log[i];
        EXPECT_EQ(std::to_string(200000 - 49152), httpcontrol::detail::Field(log[i], "bytes_sent")) << log[i];
    }
    EXPECT_EQ(1, resumed) << "one answered Range request in the nginx log";

    // A wrong password: nginx refuses (case D with 401).
    entry.password = password + "x";
    uirobot::BoxWatcher boxes(OwnWindows());
    EXPECT_FALSE(DownloadFile(context_, entry));
    EXPECT_EQ("Error 401", OnlyBox(boxes).caption);
}

}  // namespace
