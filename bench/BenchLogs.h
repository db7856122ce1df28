// Where the benchmarks find the shared recorded logs: $CORVANE_RDS_LOGS, else
// ../shared/rds from the working directory (the repository's root, as
// `make bench` runs it), else from the binary's place in build/default.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <system_error>

inline std::filesystem::path benchLogFolder()
{
    namespace fs = std::filesystem;
    if (const char* given = std::getenv("CORVANE_RDS_LOGS")) return given;
    std::error_code error;
    if (fs::is_directory("../shared/rds", error)) return "../shared/rds";
    const fs::path beside = fs::read_symlink("/proc/self/exe", error).parent_path() / "../../../shared/rds";
    return fs::is_directory(beside, error) ? beside : fs::path{};
}
