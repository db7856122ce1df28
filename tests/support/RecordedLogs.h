// Where the recorded RDS logs are: $CORVANE_RDS_LOGS, else the folder the
// build was configured with (../shared/rds beside the checkout). Tests that
// need them fail when they are missing rather than pass without them.
#pragma once

#include <cstdlib>
#include <filesystem>

inline std::filesystem::path recordedLogs()
{
    if (const char* override = std::getenv("CORVANE_RDS_LOGS"); override != nullptr && *override != '\0')
        return override;
    return CORVANE_RDS_LOGS_DIR;
}
