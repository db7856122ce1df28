// The command-reader thread and its line matcher. The application's bytes
// arrive in the InputRing in any pieces; the matcher finds the prefix
// "$PLTCM," and collects the body after it up to a carriage return or line
// feed. Only this thread reads the InputRing.
#include "channel/Commands.h"

#include "control/ControlState.h"
#include "driver/DriverContext.h"
#include "driver/WorkerParking.h"

namespace {

constexpr char kCommandPrefix[] = "$PLTCM,";
constexpr std::uint8_t kPrefixLength = 7;
constexpr std::uint8_t kCarriageReturn = 13;
constexpr std::uint8_t kLineFeed = 10;

constexpr DWORD kReadRoundMs = 50;
constexpr DWORD kPausedCheckMs = 10;

// Position p reaching this means the body has one character too many.
constexpr unsigned kLineOverflow = kCommandBodyMax + 2;

bool readerStopped()
{
    return gDriver.lifecycle.stopReaderThread.load() != 0;
}

// While a recovery (100) or a power-down (200) is pending, the chip is not
// there to act on a command: the bytes wait in the ring.
bool readerPaused()
{
    return gDriver.control.controlRequest.load() >= kRequestRecover;
}

// The state of one call's match over the byte stream.
struct LineMatch {
    unsigned p = 0;         // write position in the line buffer
    std::uint8_t k = 0;     // prefix characters matched so far
    bool candidate = true;  // the bytes being read may be a command
    bool prefixComplete = false;
    bool cleanLine = true;  // nothing rejected since the start or the last line end
    bool complete = false;
};

void restartMatch(LineMatch& m)
{
    m.p = 0;
    m.k = 0;
}

void takeByte(LineMatch& m, char* line, std::uint8_t c)
{
    if (c == kCarriageReturn) m.cleanLine = true;
    line[m.p] = static_cast<char>(c);

    if (!m.candidate && m.cleanLine && c == kLineFeed) {
        m.candidate = true;
        restartMatch(m);
    }
    // A "$" always starts a new match; inside a body it starts the body afresh.
    if (c == '$') {
        m.candidate = true;
        restartMatch(m);
    }

    if (m.candidate && m.k < kPrefixLength && c == static_cast<std::uint8_t>(kCommandPrefix[m.k])) {
        ++m.k;
        if (m.k == kPrefixLength) {
            m.prefixComplete = true;
            m.p = 0;
        }
    } else if (m.candidate && !m.prefixComplete) {
        // Not a command: ignore everything up to the next "$".
        m.cleanLine = false;
        m.candidate = false;
        restartMatch(m);
    }

    if (m.cleanLine && m.candidate && m.prefixComplete && (c == kCarriageReturn || c == kLineFeed)) {
        line[m.p + 1] = '\0';
        m.cleanLine = false;
        m.candidate = false;
        m.prefixComplete = false;
        m.complete = true;
    }
    // A line feed ends whatever line it closes: a blank line or a stray byte
    // must not leave a client that ends its lines with a bare line feed
    // unheard until a carriage return comes.
    if (c == kLineFeed) m.cleanLine = true;

    ++m.p;
    if (!m.candidate) restartMatch(m);
}

}  // namespace

bool readCommandLine(CommandReader& reader)
{
    LineMatch m;
    ByteRing& ring = gDriver.channel.inputRing;
    for (;;) {
        Sleep(kReadRoundMs);
        // A power-down asks the thread to park: a partial line is dropped,
        // as the power-up drops the bytes that were still to come.
        if (readerStopped() || ParkRequested()) return false;
        if (readerPaused()) continue;  // the partial line keeps its state; the bytes wait

        std::uint8_t c;
        while (ring.read(&c, 1) == 1) {
            // The line feed of the previous line's CR LF is not a byte of this line.
            // Any other byte is: a command that follows a bare line end is kept.
            if (reader.dropLineFeed != 0) {
                reader.dropLineFeed = 0;
                if (c == kLineFeed) continue;
            }
            takeByte(m, reader.line, c);
            if (m.complete) {
                reader.dropLineFeed = (c == kCarriageReturn) ? 1 : 0;
                return true;
            }
            if (m.p >= kLineOverflow) return false;  // too long: the rest is ignored up to the next "$"
        }
    }
}

DWORD WINAPI CommandReaderThread(LPVOID)
{
    // The ring was set up before COM_Init returned: bytes the application
    // wrote before this thread first ran are commands too.
    CommandReader reader{};
    while (!readerStopped()) {
        if (ParkWhileAsked(Worker::Reader)) continue;
        if (readerPaused()) {
            Sleep(kPausedCheckMs);
            continue;
        }
        // A line read before a power-down is carried out after the power-up,
        // once the power-up's recovery is over: the power-up drops only the
        // bytes not yet read.
        if (reader.lineHeld == 0 && readCommandLine(reader)) reader.lineHeld = 1;
        if (reader.lineHeld != 0 && parseCommandUnlessHeldOff(reader.line)) reader.lineHeld = 0;
    }
    ExitThread(0);
}
