// corvane: the command-line program.
//
// For now a temporary port demonstration, until the driver runs on a band: it
// loads the driver's serial side into a simulated kernel, queues two framed
// lines in the output ring and reads them back through COM_Read, then writes a
// command through COM_Write and shows that the input ring received it.

#include "channel/ByteRing.h"
#include "channel/ChannelState.h"
#include "driver/Corvane.h"
#include "driver/DriverContext.h"
#include "driver/SerialRequests.h"
#include "sim/kernel/Kernel.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace {

constexpr char kUsage[] =
    "usage: corvane run [--duration SECONDS]\n"
    "       corvane --help\n"
    "\n"
    "run                  load the driver's serial port in a simulated kernel and\n"
    "                     show lines passing through it (a temporary demonstration)\n"
    "--duration SECONDS   virtual seconds to run (default 30)\n"
    "--help               print this text\n";

// "$BODY*HH\r\n": the checksum is the XOR of the bytes between "$" and "*".
std::string frame(std::string_view body)
{
    unsigned checksum = 0;
    for (char c : body) {
        checksum ^= static_cast<unsigned char>(c);
    }
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X\r\n", checksum);
    return "$" + std::string(body) + tail;
}

// Line ends shown as \r \n so that the bytes can be seen.
std::string visible(std::string_view bytes)
{
    std::string out;
    for (char c : bytes) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

void printAt(const sim::Kernel& kernel, const char* what, std::string_view bytes)
{
    std::printf("%8.3f s  %-10s %s\n", static_cast<double>(kernel.now()) / 1e6, what, visible(bytes).c_str());
}

int runDemo(unsigned durationSeconds)
{
    sim::Kernel kernel;
    LoadDriverContext();
    InitRingGuards();
    StoreSerialDefaults();
    gDriver.channel.outputRing.reset(kOutputRingSize);
    gDriver.channel.inputRing.reset(kInputRingSize);

    for (const std::string& line : {frame("PXDEMO,port,ready"), frame("PXDEMO,rings,512,32")}) {
        gDriver.channel.outputRing.write(reinterpret_cast<const std::uint8_t*>(line.data()),
                                         static_cast<std::int32_t>(line.size()));
    }
    char buffer[kMaxReadBytes];
    for (DWORD got; (got = COM_Read(kOpenContext, buffer, sizeof buffer)) != 0;) {
        printAt(kernel, "COM_Read", {buffer, got});
    }

    Sleep(1000);
    const std::string command = "$PLTCM,+\r\n";
    const DWORD stored = COM_Write(kOpenContext, command.data(), static_cast<DWORD>(command.size()));
    std::printf("%8.3f s  %-10s %s (%u bytes stored)\n", static_cast<double>(kernel.now()) / 1e6, "COM_Write",
                visible(command).c_str(), static_cast<unsigned>(stored));
    std::uint8_t received[kByteRingCapacity];
    const std::int32_t taken = gDriver.channel.inputRing.read(received, kByteRingCapacity);
    printAt(kernel, "InputRing", {reinterpret_cast<char*>(received), static_cast<std::size_t>(taken)});

    if (durationSeconds > 1) {
        Sleep((durationSeconds - 1) * 1000);
    }
    std::printf("%8.3f s  done\n", static_cast<double>(kernel.now()) / 1e6);
    ReleaseRingGuards();
    return 0;
}

int usageError(const char* message)
{
    std::fprintf(stderr, "corvane: %s\n\n%s", message, kUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc < 2 || std::strcmp(argv[1], "run") != 0) {
        return usageError(argc < 2 ? "no command given" : "unknown command");
    }
    unsigned duration = 30;
    for (int i = 2; i < argc; ++i) {
        const std::string_view option = argv[i];
        if (option == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (option != "--duration") {
            return usageError("unknown option");
        }
        if (i + 1 >= argc) {
            return usageError("--duration needs a number of seconds");
        }
        const std::string_view value = argv[++i];
        const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), duration);
        if (error != std::errc{} || end != value.data() + value.size() || duration > 86400) {
            return usageError("--duration needs a whole number of seconds (0 to 86400)");
        }
    }
    return runDemo(duration);
}
