// Fuzz target: arbitrary text through the band file reader. A band file either
// reads or fails with the reader's own error; nothing else may escape. The
// text is read as a file in a folder of its own that holds one small recorded
// log, "a.spy", so files naming a log reach the log reader too. A band that
// reads is then put on the air of a fresh world for a few virtual seconds.
#include "sim/World.h"
#include "sim/band/BandFile.h"
#include "sim/band/BandSetup.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <unistd.h>

namespace {
std::filesystem::path gFolder;

const char kLog[] =
    "<recorder=\"fuzz\">\n"
    "D3A1 0408 E0CD 5241 @2026/12/07 08:00:00.00\n"
    "D3A1 3418 0041 CD46 @2026/12/07 08:00:00.09\n"
    "D3A1 8400 ---- 1234 @2026/12/07 08:00:00.18\n";
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    gFolder = std::filesystem::temp_directory_path() / ("corvane-band-fuzz-" + std::to_string(getpid()));
    std::filesystem::create_directories(gFolder);
    std::ofstream(gFolder / "a.spy", std::ios::binary) << kLog;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > 4096) return -1;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    sim::band::BandDescription band;
    try {
        band = sim::band::parseBandFile(text, gFolder / "band.json");
    } catch (const sim::band::BandFileError&) {
        return 0;
    }
    sim::Kernel kernel;
    sim::World world(kernel);
    sim::installBand(kernel, world.band(), band);
    Sleep(3000);
    return 0;
}
