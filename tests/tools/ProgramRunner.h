// Test support: the built corvane program run as a subprocess, as a user runs
// it, with its exit status and both output streams.
#pragma once

#include "tests/support/RecordedLogs.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace corvane_test {

struct ProgramResult {
    int status = -1;
    std::string out;
    std::string err;
};

// The program sits beside the test binary in the build directory.
inline std::filesystem::path programPath()
{
    return std::filesystem::read_symlink("/proc/self/exe").parent_path() / "corvane";
}

inline std::filesystem::path sharedLogs()
{
    return recordedLogs();
}

// A fresh directory for one test's files.
inline std::filesystem::path scratchDirectory()
{
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::filesystem::path dir =
        std::filesystem::path(::testing::TempDir()) / ("corvane-" + std::to_string(::getpid()) + "-" + test->name());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

inline std::filesystem::path writeFile(const std::filesystem::path& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

inline std::string readFile(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// Runs `corvane <arguments>` (a shell word list) and collects what it did.
inline ProgramResult runProgram(const std::string& arguments)
{
    const std::filesystem::path dir = std::filesystem::path(::testing::TempDir());
    const std::string stem = "corvane-run-" + std::to_string(::getpid());
    const auto out = dir / (stem + ".out");
    const auto err = dir / (stem + ".err");
    const std::string command = programPath().string() + " " + arguments + " >" + out.string() + " 2>" + err.string();
    const int raw = std::system(command.c_str());
    ProgramResult result;
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    result.out = readFile(out);
    result.err = readFile(err);
    std::filesystem::remove(out);
    std::filesystem::remove(err);
    // No run of the program may break the bus or chip protocol.
    EXPECT_EQ(result.err.find("protocol violations"), std::string::npos) << arguments << "\n" << result.err;
    return result;
}

inline std::vector<std::string> splitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

}  // namespace corvane_test
