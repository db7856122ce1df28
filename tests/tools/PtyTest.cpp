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

// Like the device's port: a client that opens it late finds no backlog, a
// burst of commands is taken whole, a second open
// is refused while the client holds the port, and a client that stops reading
// for five virtual minutes then finds only whole lines (after at most the cut
// front of the driver's overrun ring).
constexpr char kBurstClient[] = R"(
import sys, os, errno, time, serial, functools, fcntl, termios, struct
time.sleep(1)  # 200 virtual seconds of lines that nobody reads
fd = os.open(sys.argv[1], os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)  # serial.Serial would flush
waiting = struct.unpack('i', fcntl.ioctl(fd, termios.FIONREAD, b'....'))[0]
os.close(fd)
if waiting > 512:  # at most one read of the driver's ring since the open
    sys.exit('%d bytes waiting on opening the port' % waiting)
port = serial.Serial(sys.argv[1], 9600, timeout=0.2)
port.write(b'$PLTCM,VOL,8\r\n' * 12)
answers, deadline = 0, time.time() + 30
while answers < 12 and time.time() < deadline:
    answers += port.readline() == b'$PLTCF,7000*66\r\n'
if answers != 12:
    sys.exit('answers to 12 commands: %d' % answers)
def refused():  # a second open while this one holds the port
    if os.getuid() == 0:  # root passes the exclusivity: try as nobody
        os.chmod(os.path.realpath(sys.argv[1]), 0o666)
        pid = os.fork()
        if pid == 0:
            os.setuid(65534)
            os._exit(int(refused()))
        return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 1
    try:
        os.close(os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY))
    except OSError as e:
        return e.errno == errno.EBUSY
    return False
if not refused():
    sys.exit('a second open was not refused')
time.sleep(1.5)
data, end = b'', time.time() + 0.5
while time.time() < end:
    data += port.read(4096)
lines = data.decode('ascii').split('\r\n')[:-1]
def whole(line):
    body, star, sum = line[1:].partition('*')
    return line[0] == '$' and star and '$' not in body and \
        int(sum, 16) == functools.reduce(lambda a, c: a ^ ord(c), body, 0)
fragments = [l for l in lines if not l.startswith('$')]
broken = [l for l in lines if l.startswith('$') and not whole(l)]
print(len(data), 'bytes after the pause;', len(fragments), 'fragments', broken[:3])
sys.exit(1 if broken or len(fragments) > 1 or len(lines) < 20 else 0)
)";

struct PtyRun {
    int clientStatus = -1;
    std::string clientOut;
    int status = -1;
    std::string out;
    std::string err;
};

// Serves the port at --speed `speed` to `client` (a Python program given the
// link), then stops the run with Ctrl-C.
PtyRun serveTo(const char* clientText, const char* speed)
{
    const auto dir = scratchDirectory();
    const auto link = dir / "corvane-port";
    const auto client = writeFile(dir / "client.py", clientText);
    const auto out = dir / "corvane.out";
    const auto err = dir / "corvane.err";

    const std::string program = programPath().string();
    const std::string linkText = link.string();
    std::vector<const char*> argv = {program.c_str(), "run", "--pty", linkText.c_str(), "--speed", speed, nullptr};
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&files, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    PtyRun run;
    EXPECT_EQ(posix_spawn(&pid, program.c_str(), &files, nullptr, const_cast<char**>(argv.data()), environ), 0);
    posix_spawn_file_actions_destroy(&files);

    // The link appears once the terminal is served.
    for (int i = 0; i < 500 && !std::filesystem::is_symlink(link); ++i) ::usleep(10'000);
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    // A second run on the same link refuses to take it over.
    const ProgramResult second = runProgram("run --pty " + linkText + " --duration 1");
    EXPECT_EQ(second.status, 2) << second.err;
    run.clientStatus = std::system((std::string(kPython) + " " + client.string() + " " + linkText + " > " +
                                    (dir / "client.out").string() + " 2>&1")
                                       .c_str());
    ::kill(pid, SIGINT);  // Ctrl-C: the driver is unloaded and the link removed
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, 0), pid);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.clientOut = readFile(dir / "client.out");
    run.out = readFile(out);
    run.err = readFile(err);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
    EXPECT_EQ(run.err.find("protocol violations"), std::string::npos) << run.err;
    return run;
}

}  // namespace

TEST(PtyTest, SerialClientTunesAndHearsTheStation)
{
    if (std::system((std::string(kPython) + " -c 'import serial' 2>/dev/null").c_str()) != 0)
        FAIL() << "Python's serial module is missing: `make deps` installs it (Debian python3-serial)";
    const PtyRun run = serveTo(kClient, "10");
    EXPECT_EQ(run.clientStatus, 0) << run.clientOut;
    EXPECT_EQ(run.status, 0) << run.err;
    // What went to the terminal was printed too.
    EXPECT_NE(run.out.find("$PLTCH,\"INFO 24 \"*67"), std::string::npos);

    const PtyRun burst = serveTo(kBurstClient, "200");
    EXPECT_EQ(burst.clientStatus, 0) << burst.clientOut;
    EXPECT_EQ(burst.status, 0) << burst.err;
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
