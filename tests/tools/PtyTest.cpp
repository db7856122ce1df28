// corvane run --pty with a real serial client: Python's serial module opens the
// link, reads the driver's lines, tunes with a command and sees the answer and
// the station. The terminal runs at wall-clock pace (ten times faster here);
// the client's deadline only bounds a failing run.
#include "tests/tools/ProgramRunner.h"

#include <csignal>
#include <fcntl.h>
#include <spawn.h>

using namespace corvane_test;

extern char** environ;

namespace {

constexpr char kPython[] = "/usr/bin/python3";

constexpr char kClient[] = R"(
import sys, time, serial
port = serial.Serial(sys.argv[1], 9600, timeout=0.2)
deadline = time.time() + 60
def wait_for(wanted):
    seen = []
    while time.time() < deadline:
        line = port.readline().decode('ascii', 'replace').strip()
        if line:
            seen.append(line)
        if any(line.startswith(w) for w in wanted):
            return line
    print('not seen:', wanted, 'last lines:', seen[-5:])
    sys.exit(1)
print('alive', wait_for(['$PLTTQ,']))
port.write(b'$PLTCM,H2,10480\r\n')
print('answer', wait_for(['$PLTTQ,10480,2,0,0,6*58']))
print('station', wait_for(['$PLTCH,"INFO 24 "*67']))
print('status', wait_for(['$PLTTQ,10480,28,']))
)";

}  // namespace

TEST(PtyTest, SerialClientTunesAndHearsTheStation)
{
    if (std::system((std::string(kPython) + " -c 'import serial' 2>/dev/null").c_str()) != 0)
        FAIL() << "Python's serial module is missing: `make deps` installs it (Debian python3-serial)";
    const auto dir = scratchDirectory();
    const auto link = dir / "corvane-port";
    const auto client = writeFile(dir / "client.py", kClient);
    const auto out = dir / "corvane.out";
    const auto err = dir / "corvane.err";

    const std::string program = programPath().string();
    const std::string linkText = link.string();
    std::vector<const char*> argv = {program.c_str(), "run", "--pty", linkText.c_str(), "--speed", "10", nullptr};
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&files, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, program.c_str(), &files, nullptr, const_cast<char**>(argv.data()), environ), 0);
    posix_spawn_file_actions_destroy(&files);

    // The link appears once the terminal is served.
    for (int i = 0; i < 500 && !std::filesystem::is_symlink(link); ++i) ::usleep(10'000);
    ASSERT_TRUE(std::filesystem::is_symlink(link));
    const int clientStatus = std::system((std::string(kPython) + " " + client.string() + " " + linkText + " > " +
                                          (dir / "client.out").string() + " 2>&1")
                                             .c_str());
    ::kill(pid, SIGINT);  // Ctrl-C: the driver is unloaded and the link removed
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);

    EXPECT_EQ(clientStatus, 0) << readFile(dir / "client.out");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
    // What went to the terminal was printed too.
    EXPECT_NE(readFile(out).find("$PLTCH,\"INFO 24 \"*67"), std::string::npos);
    EXPECT_EQ(readFile(err).find("protocol violations"), std::string::npos) << readFile(err);
}

TEST(PtyTest, TheLinkIsRemovedWhenTheRunEnds)
{
    const auto dir = scratchDirectory();
    const auto link = dir / "corvane-port";
    const ProgramResult result = runProgram("run --pty " + link.string() + " --speed 50 --duration 2");
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.err.find("serving the port at " + link.string()), std::string::npos) << result.err;
    EXPECT_EQ(result.out.rfind("$PXRFW,", 0), 0u) << result.out;
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
}
