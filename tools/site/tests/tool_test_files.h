// What the tests of halvorin-site share: whole files read and written, random bytes, and
// the tool (HALVORIN_SITE_TOOL) run as a program.
#pragma once
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

namespace site_tool_test {

inline std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream data;
    data << in.rdbuf();
    return data.str();
}

// Writes the file, with the directories it needs.
inline void WriteAll(const std::string& path, const std::string& data) {
    system(("mkdir -p '" + path.substr(0, path.rfind('/')) + "'").c_str());
    std::ofstream(path, std::ios::binary) << data;
}

inline std::string RandomBytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
}

// Runs the tool with the arguments; what it printed on both streams (through the file
// outputPath) in *output, and its exit code.
inline int RunTool(const std::string& arguments, const std::string& outputPath, std::string* output) {
    const int status =
        system((std::string(getenv("HALVORIN_SITE_TOOL")) + " " + arguments + " >'" + outputPath + "' 2>&1").c_str());
    *output = ReadAll(outputPath);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace site_tool_test
