// The texts corvane --help prints: every subcommand and option, or with a
// command (corvane soak --help) that command's own part.
#include "tools/Options.h"

namespace corvane {

namespace {

constexpr char kValues[] =
    "An option's value follows it as the next argument or after '=' (--seed=7).\n"
    "\n";

constexpr char kRun[] =
    "corvane run loads the Corvane tuner driver in a simulated Windows CE device\n"
    "on a simulated FM band, plays the application (reads the driver's port every\n"
    "20 ms of virtual time and prints each line it sends, without its CR LF) and\n"
    "unloads the driver at the end.\n"
    "\n"
    "  --band FILE        the FM band, described in a JSON band file\n"
    "                     (default: the built-in band)\n"
    "  --seed N           seed of every random draw of the simulation (default 1);\n"
    "                     the same seed gives the same output\n"
    "  --duration SECONDS virtual seconds to run, up to 3 decimals (default: until\n"
    "                     interrupted with Ctrl-C)\n"
    "  --speed max|FACTOR max: as fast as possible; FACTOR: virtual seconds per\n"
    "                     wall-clock second (default: max with --duration, 1 without)\n"
    "  --script FILE      timed actions, one a line, '#' starts a comment:\n"
    "                       SECONDS write TEXT     the text and CR LF to the port;\n"
    "                                              escapes \\r \\n \\\\ \\xHH; a text\n"
    "                                              ending in \\ gets no CR LF\n"
    "                       SECONDS command TEXT   the text as a private command\n"
    "                                              request (\"$PLTCM,H2,9470\")\n"
    "                       SECONDS recover        the recovery request\n"
    "                       SECONDS suspend        the application's suspend request\n"
    "                       SECONDS resume         the application's resume request\n"
    "                       SECONDS power D0..D4   the power manager's set request\n"
    "                       SECONDS powerdown      the system's power-down call\n"
    "                       SECONDS powerup        the system's power-up call\n"
    "                     SECONDS is virtual time from the start, up to 3 decimals\n"
    "  --pty PATH         also serve the port as a pseudo-terminal with a symbolic\n"
    "                     link at PATH that a serial program can open: what it\n"
    "                     writes goes to the driver, the driver's lines come out;\n"
    "                     runs at wall-clock pace (--speed FACTOR scales it); the\n"
    "                     link is removed at the end, also on Ctrl-C\n"
    "  --wakes            to standard error: each virtual second, how often each of\n"
    "                     the driver's worker threads woke the processor (came\n"
    "                     back from a sleep, a wait or a contended lock it blocked\n"
    "                     in); at the end the rates while the receiver ran, was\n"
    "                     powered down, and the system was suspended\n"
    "\n";

constexpr char kReplay[] =
    "corvane replay plays a recorded RDS group log (.spy or .rds) as the RDS of one\n"
    "station through the whole driver (chip, interrupt, capture, decoder) as fast\n"
    "as possible, once through the log, and prints the driver's lines.\n"
    "\n"
    "  --direct           feed the log's groups straight to the group decoder\n"
    "                     instead (no chip, no threads; times are the groups' air\n"
    "                     times, one every 87.6 ms)\n"
    "  --seed N           as for run (draws the bits of lost blocks)\n"
    "  --summary          only the summary, on standard output, instead of the lines\n"
    "\n"
    "At its end a replay prints a summary to standard error: groups read, blocks\n"
    "lost, the PIs and station names confirmed, the TMC service (location table,\n"
    "service id, encrypted or not) and the number of distinct TMC messages. A\n"
    "direct replay reads the log as a stream, in constant memory.\n"
    "\n";

constexpr char kSoak[] =
    "corvane soak runs the driver for H virtual hours (default 1) under random\n"
    "faults it must survive (failing bus transfers, lost and spurious interrupts,\n"
    "a hung chip, block errors, fading stations, power-downs, suspends, recover\n"
    "requests, garbage on the port, output left unread), each phase of faults\n"
    "ending with a heal after which the driver must report its status every\n"
    "second and find TMC again within 5 virtual minutes. It checks that no worker\n"
    "thread gets stuck, every line read is whole and checksummed, every debug\n"
    "message is explained by a fault, and a receiver powered down (D2 to D4) or\n"
    "suspended by the application stays off until the next power call: chip in\n"
    "reset, bus closed, no transfer, nothing new to read, no command carried out.\n"
    "On success it prints one summary line; on a failure, what broke, the last\n"
    "lines read and debug messages before it with their virtual times, and the\n"
    "one command line that reproduces it (exit 1); stopped by Ctrl-C, the\n"
    "summary so far and that command line.\n"
    "\n"
    "  --seed N           the run's seed (default 1)\n"
    "  --hours H          virtual hours, a decimal above 0 (at most 10000)\n"
    "  --scenario NAME    the band: default (the built-in band) or weak (one weak\n"
    "                     TMC station losing blocks among stations without TMC)\n"
    "  --band FILE        a band file instead of the scenario's band (it needs a\n"
    "                     station; without a TMC station TMC is not required)\n"
    "  --debug            as for run\n"
    "  --no-power-down-checks\n"
    "                     do not check that a receiver powered down or suspended\n"
    "                     stays off (the run is otherwise the same)\n"
    "\n"
    "Besides those faults a soak gives the driver those of a car: supply dips\n"
    "(the chip back at its power-on values, unannounced), an interrupt line stuck\n"
    "low for seconds, ignition noise on the interrupt line, a slow bus (transfers\n"
    "of up to 200 ms) and a bus held by another device (transfers fail as busy).\n"
    "It checks too that interrupts are taken, that no group is decoded that the\n"
    "chip did not hand out, and that after each heal the chip runs as the driver\n"
    "set it.\n"
    "\n"
    "A campaign runs many seeds, each in a process of its own:\n"
    "  --seeds LIST       seeds such as 1-200 or 1,5,9-12\n"
    "  --jobs N           processes at once (default: one per processor)\n"
    "  --results FILE     append a JSON line per finished seed (seed, schedule,\n"
    "                     band, hours, outcome, the failure's first message, wall\n"
    "                     and CPU time, bus guard counts, reproduce line); FILE\n"
    "                     must be missing, empty or a results file\n"
    "  --resume FILE      skip the seeds FILE holds and append the rest to it; a\n"
    "                     file with a line that is not a result is refused\n"
    "  --shard K/N        run only part K of N (every N-th seed from the K-th), so\n"
    "                     that N machines share a campaign\n"
    "  --seed-limit SECONDS\n"
    "                     wall-clock seconds a seed's process may take; past it\n"
    "                     the seed is killed and recorded as hung, a failure with\n"
    "                     its reproduce line (default: 120 plus 60 per virtual\n"
    "                     hour, hundreds of times what a seed needs)\n"
    "On a terminal one progress line is kept current, otherwise a line is printed\n"
    "per finished seed; at the end a summary with each failure's reproduce line\n"
    "(exit 1 on any failure). Ctrl-C stops every job and prints the summary so\n"
    "far (a second one within half a second is the same stop); --resume then\n"
    "runs the rest.\n"
    "\n";

constexpr char kRunAndSoak[] =
    "run and soak:\n"
    "  --plot FILE.svg    draw the run on one time line (with gnuplot): tuned\n"
    "                     frequency, RSSI, TMC credit, the active faults as bands,\n"
    "                     marks for searches, recoveries, power transitions and\n"
    "                     the failure; the whole run and its last ten minutes;\n"
    "                     the file is opened before the run starts\n"
    "  --schedule MODE    how the simulated kernel orders its ready threads:\n"
    "                     cooperative, random or pct; run defaults to cooperative,\n"
    "                     soak lets the seed draw random or pct\n"
    "\n";

constexpr char kRunAndReplay[] =
    "run and replay:\n"
    "  --timestamps       prefix each line with its virtual time in seconds\n"
    "                     (3 decimals) and a blank\n"
    "  --decode           after each line, a readable rendering: station name, PI\n"
    "                     and country code, frequency in MHz, TMC event, location,\n"
    "                     extent and direction, raw group type; multi-group TMC\n"
    "                     messages assembled, the TMC provider's name, an\n"
    "                     encrypted service, clock time (4A) and radiotext (2A)\n"
    "  --debug            the driver's debug output to standard error, with its\n"
    "                     virtual time\n"
    "  --help             print this text\n"
    "  --version          print the program's version\n"
    "\n";

constexpr char kFilesAndStatus[] =
    "Files: every file named must be a regular file (not a directory, a device or\n"
    "a FIFO); band files and scripts may have up to 16 MiB, logs up to 1024 MiB.\n"
    "\n"
    "Exit status: 0 on success, 2 on a usage or input error (the message goes\n"
    "to standard error), 1 when the run itself fails.\n";

constexpr char kRunSynopsis[] = "usage: corvane run [options]\n";
constexpr char kReplaySynopsis[] = "usage: corvane replay [--direct] [--summary] [options] LOG\n";
constexpr char kSoakSynopsis[] =
    "usage: corvane soak [--seed N] [--hours H] [--scenario NAME | --band FILE]\n"
    "       corvane soak --seeds LIST [--jobs N] [--results FILE | --resume FILE]\n"
    "                    [--shard K/N] [--seed-limit SECONDS] [--hours H]\n"
    "                    [--scenario NAME | --band FILE]\n";

}  // namespace

std::string usageText(const std::string& command)
{
    if (command == "run")
        return std::string(kRunSynopsis) + "\n" + kValues + kRun + kRunAndSoak + kRunAndReplay + kFilesAndStatus;
    if (command == "replay")
        return std::string(kReplaySynopsis) + "\n" + kValues + kReplay + kRunAndReplay + kFilesAndStatus;
    if (command == "soak") return std::string(kSoakSynopsis) + "\n" + kValues + kSoak + kRunAndSoak + kFilesAndStatus;
    return std::string(
               "usage: corvane run [options]\n"
               "       corvane replay [--direct] [--summary] [options] LOG\n"
               "       corvane soak [--seed N] [--hours H] [--scenario NAME | --band FILE]\n"
               "       corvane soak --seeds LIST [--jobs N] [--results FILE | --resume FILE]\n"
               "                    [--shard K/N] [--seed-limit SECONDS] [--hours H]\n"
               "                    [--scenario NAME | --band FILE]\n"
               "       corvane COMMAND --help | corvane --help | --version\n"
               "\n") +
           kValues + kRun + kReplay + kSoak + kRunAndSoak + kRunAndReplay + kFilesAndStatus;
}

}  // namespace corvane
