// The log file and the error report file.
#include <gtest/gtest.h>
#include <windows.h>

#include <thread>
#include <vector>

#include "common/text_format.h"
#include "common/error_report.h"
#include "common/log_writer.h"
#include "tests/helpers/test_support.h"

using namespace testing_support;

TEST(LogWriter, TextsAreAppendedWholeAsData) {
    ScratchDirectory dir("log");
    LogWriter log;
    log.Write("\r\nnot written: %s", "logging is off");
    EXPECT_FALSE(FileExists(dir.File("engine.log")));

    log.SetPath(dir.File("engine.log"));
    log.Write("\r\nDownloading file %s.", "a%20b%s%n.txt");  // a '%' from an argument stays
    log.Write("... completed, code=%u.", 7u);
    log.Write("\r\n%s", "");
    EXPECT_EQ("\r\nDownloading file a%20b%s%n.txt.... completed, code=7.\r\n", ReadWholeFile(dir.File("engine.log")));

    // Switching the path takes effect with the next text; an empty path turns logging off.
    log.SetPath(dir.File("other.log"));
    log.Write("x");
    log.SetPath("");
    log.Write("y");
    EXPECT_EQ("x", ReadWholeFile(dir.File("other.log")));
}

TEST(LogWriter, AMissingDirectoryDropsTextsSilently) {
    ScratchDirectory dir("log-missing");
    LogWriter log;
    log.SetPath(dir.File("no\\such\\dir\\engine.log"));
    log.Write("\r\nlost %d", 1);
    EXPECT_FALSE(FileExists(dir.File("no")));
}

TEST(LogWriter, LongTextsAreCutAtTheBufferNeverOverrun) {
    ScratchDirectory dir("log-long");
    LogWriter log;
    log.SetPath(dir.File("engine.log"));
    const std::string longArgument(20000, 'x');
    log.Write("\r\n%s : OK", longArgument.c_str());
    const std::string written = ReadWholeFile(dir.File("engine.log"));
    ASSERT_EQ(LogWriter::kBufferSize - 1, written.size());
    EXPECT_EQ("\r\n" + std::string(LogWriter::kBufferSize - 3, 'x'), written);

    // Exactly filling the buffer is not cut.
    const std::string fits(LogWriter::kBufferSize - 1 - 2, 'y');
    log.SetPath(dir.File("fits.log"));
    log.Write("\r\n%s", fits.c_str());
    EXPECT_EQ("\r\n" + fits, ReadWholeFile(dir.File("fits.log")));
}

// A batch keeps its thread's texts until it ends, or until 64 KiB have gathered; other
// threads write at once.
TEST(LogWriter, ABatchWritesItsThreadsTextsTogether) {
    ScratchDirectory dir("log-batch");
    LogWriter log;
    log.SetPath(dir.File("engine.log"));
    log.Write("\r\nbefore");
    {
        LogWriter::Batch batch(log);
        log.Write("\r\n one : OK");
        {
            LogWriter::Batch inner(log);  // nested: the outer batch keeps the texts
            log.Write("\r\n two : OK");
        }
        std::thread([&log] { log.Write("\r\nother thread"); }).join();
        EXPECT_EQ("\r\nbefore\r\nother thread", ReadWholeFile(dir.File("engine.log")));
        const std::string line(1000, 'x');
        for (int i = 0; i < 70; ++i) log.Write("\r\n%s", line.c_str());
        EXPECT_GE(ReadWholeFile(dir.File("engine.log")).size(), 65536u) << "a full batch is written";
    }
    const std::string text = ReadWholeFile(dir.File("engine.log"));
    EXPECT_EQ(0u, text.find("\r\nbefore\r\nother thread\r\n one : OK\r\n two : OK\r\nxxx"));
    EXPECT_EQ(8u + 14 + 11 + 11 + 70 * 1002, text.size());
}

TEST(LogWriter, ManyThreadsGiveWholeTexts) {
    ScratchDirectory dir("log-threads");
    LogWriter log;
    log.SetPath(dir.File("engine.log"));
    constexpr int kThreads = 8;
    constexpr int kTexts = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&log, t] {
            const std::string body(100 + t * 37, static_cast<char>('a' + t));
            for (int i = 0; i < kTexts; ++i) log.Write("\r\n[%d:%04d]%s|", t, i, body.c_str());
        });
    }
    for (auto& thread : threads) thread.join();

    const std::string written = ReadWholeFile(dir.File("engine.log"));
    std::vector<int> next(kThreads, 0);
    size_t position = 0;
    int texts = 0;
    while (position < written.size()) {
        ASSERT_EQ(0u, written.compare(position, 3, "\r\n[")) << "at " << position;
        const int t = written[position + 3] - '0';
        ASSERT_TRUE(t >= 0 && t < kThreads);
        char expectedHead[32];
        snprintf(expectedHead, sizeof(expectedHead), "\r\n[%d:%04d]", t, next[t]);
        ASSERT_EQ(0u, written.compare(position, strlen(expectedHead), expectedHead)) << "at " << position;
        position += strlen(expectedHead);
        const std::string body(100 + t * 37, static_cast<char>('a' + t));
        ASSERT_EQ(0u, written.compare(position, body.size() + 1, body + "|")) << "text torn at " << position;
        position += body.size() + 1;
        ++next[t];
        ++texts;
    }
    EXPECT_EQ(kThreads * kTexts, texts);
}

TEST(ErrorReport, WritesOneMarkedLinePerTextAndAppends) {
    ScratchDirectory dir("report");
    ErrorReport report;
    const std::string file = dir.File("report.txt");

    // An empty report creates the file and writes nothing.
    EXPECT_TRUE(report.AppendToFile(file));
    EXPECT_TRUE(FileExists(file));
    EXPECT_EQ("", ReadWholeFile(file));

    report.Add(FormatText("Version upgrade from v%u to v%u.", 1u, 3u));
    report.Add("File x could not be created on disk.\r\nMake sure that no other application is currently\r\n"
               "locking this file and run scandisk.");
    report.Add("100% done");
    EXPECT_TRUE(report.AppendToFile(file));
    const std::string once = "- Version upgrade from v1 to v3.\r\n"
                             "- File x could not be created on disk.\r\nMake sure that no other application is "
                             "currently\r\nlocking this file and run scandisk.\r\n"
                             "- 100% done\r\n";
    EXPECT_EQ(once, ReadWholeFile(file));
    EXPECT_TRUE(report.AppendToFile(file));  // written twice, kept
    EXPECT_EQ(once + once, ReadWholeFile(file));

    report.Clear();
    EXPECT_TRUE(report.Texts().empty());
    EXPECT_FALSE(report.AppendToFile(dir.File("missing\\dir\\report.txt")));
}

TEST(ErrorReport, ConcurrentChangesAndWritesStayWhole) {
    ScratchDirectory dir("report-threads");
    ErrorReport report;
    std::thread filler([&report] {
        for (int i = 0; i < 2000; ++i) {
            if (i % 100 == 0) report.Clear();
            report.Add(FormatText("Mandatory file %d download aborted.", i));
        }
    });
    for (int i = 0; i < 50; ++i) report.AppendToFile(dir.File("report.txt"));
    filler.join();
    const std::string written = ReadWholeFile(dir.File("report.txt"));
    size_t position = 0;
    while (position < written.size()) {
        const size_t end = written.find("\r\n", position);
        ASSERT_NE(std::string::npos, end);
        const std::string line = written.substr(position, end - position);
        ASSERT_EQ(0u, line.rfind("- Mandatory file ", 0)) << line;
        ASSERT_NE(std::string::npos, line.find(" download aborted.")) << line;
        position = end + 2;
    }
}
