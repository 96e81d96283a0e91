// The error report: the problems found by the most recent engine operation, in order.
#pragma once
#include <string>
#include <vector>

#include "common/critical_section.h"
#include "common/log_writer.h"

class ErrorReport {
public:
    void Clear();
    void Add(const std::string& text);
    std::vector<std::string> Texts();

    // Appends "- text\r\n" for every text to the file. False when it cannot be opened.
    bool AppendToFile(const std::string& fileName);

private:
    // The patch run fills the report on its own thread while clients may write it out.
    CriticalSection lock_;
    std::vector<std::string> texts_;
};
