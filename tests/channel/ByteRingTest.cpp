#include "channel/ByteRing.h"

#include "driver/DriverContext.h"
#include "tests/support/DriverFixtures.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes run(std::size_t count, std::uint8_t first, Bytes tail = {})
{
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(first + i);
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    return bytes;
}

class ByteRingTest : public LoadedTest {
protected:
    ByteRingTest() : LoadedTest(kExactTimings) {}  // how long a held lock holds up a writer
    std::int32_t put(const Bytes& b) { return ring.write(b.data(), static_cast<std::int32_t>(b.size())); }
    Bytes take(std::int32_t count)
    {
        Bytes out(count);
        out.resize(ring.read(out.data(), count));
        return out;
    }
    ByteRing& ring = gDriver.channel.outputRing;
};

TEST_F(ByteRingTest, LimitsOverrunAndZeroOnRead)
{
    std::uint8_t dest[2] = {9, 9};
    EXPECT_EQ(ring.read(dest, 2), 0);
    EXPECT_EQ(dest[0], 9);  // an empty ring leaves the destination alone
    EXPECT_EQ(ring.write(dest, 0) + ring.write(dest, INT32_MIN) + ring.read(dest, -1), 0);
    EXPECT_EQ(ring.head, 0u);

    EXPECT_EQ(put(run(512, 0)), 512);  // a ring holds `size` bytes, not size - 1
    EXPECT_EQ(take(1000), run(512, 0));
    EXPECT_EQ(put(run(513, 0)), 511);  // longer than the ring: its first size - 1
    EXPECT_EQ(take(512), run(511, 0));
    put(run(512, 0));  // a full ring takes 10 more by dropping its 10 oldest
    put(run(10, 0xF0));
    EXPECT_EQ(take(512), run(502, 10, run(10, 0xF0)));

    ring.reset(32);
    EXPECT_EQ(put(run(40, 1)), 31);
    EXPECT_EQ(take(32), run(31, 1));
    put(run(5, 200));  // 5 queued + 31 more into 32 places: the 4 oldest go
    EXPECT_EQ(put(run(40, 1)), 31);
    EXPECT_EQ(take(100), run(1, 204, run(31, 1)));

    // Taken bytes read 0 in the store; untaken ones, and the store after a reset, stay.
    ring.reset(32);
    std::memset(ring.data, 0x77, 32);
    put(Bytes{'A', 'B', 'C', 'D'});
    EXPECT_EQ(take(3), (Bytes{'A', 'B', 'C'}));
    EXPECT_EQ(Bytes(ring.data, ring.data + 5), (Bytes{0, 0, 0, 'D', 0x77}));
    ring.reset(32);
    EXPECT_EQ(ring.data[3], 'D');
    EXPECT_EQ(take(8), Bytes{});
}

TEST_F(ByteRingTest, CountersPassingTwoToThe32)
{
    ring.reset(32);
    ring.head = ring.tail = 0xFFFFFFFEu;
    put(Bytes{'a', 'b', 'c', 'd'});
    EXPECT_EQ(ring.head, 2u);
    EXPECT_EQ((Bytes{ring.data[30], ring.data[31], ring.data[0], ring.data[1]}), (Bytes{'a', 'b', 'c', 'd'}));
    EXPECT_EQ(take(32), (Bytes{'a', 'b', 'c', 'd'}));

    // A read that crosses the end of the store takes and zeroes both pieces,
    // and leaves the byte after its count in place for the next read.
    std::memset(ring.data, 0x55, 32);
    ring.head = ring.tail = 29;
    put(Bytes{'p', 'q', 'r', 's', 't'});
    EXPECT_EQ(take(4), (Bytes{'p', 'q', 'r', 's'}));
    EXPECT_EQ(Bytes(ring.data, ring.data + 3), (Bytes{0, 't', 0x55}));
    EXPECT_EQ((Bytes{ring.data[28], ring.data[29], ring.data[30], ring.data[31]}), (Bytes{0x55, 0, 0, 0}));
    EXPECT_EQ(ring.tail, 33u);
    EXPECT_EQ(take(32), (Bytes{'t'}));
    EXPECT_EQ(ring.data[1], 0);

    ring.head = ring.tail = 0xFFFFFFF0u;  // full with the tail before 2^32, the head past it
    put(run(32, 0));
    put(run(3, 0x80));
    EXPECT_EQ(ring.tail, 0xFFFFFFF3u);
    EXPECT_EQ(take(32), run(29, 3, run(3, 0x80)));
}

// A simulated thread only gives up the processor where it blocks. To make
// others meet a write in the middle, a holder takes the ring's guard, puts
// half its sentence in, sleeps 20 ms with the guard held, then puts the rest.
constexpr char kHeld[] = "$HOLD,first half,second half*00\r\n";
constexpr std::int32_t kHeldSplit = 16;

void writeText(const char* text, std::int32_t length)
{
    gDriver.channel.outputRing.write(reinterpret_cast<const std::uint8_t*>(text), length);
}

DWORD holdAcrossSleep(LPVOID)
{
    EnterCriticalSection(&gDriver.channel.outputRing.guard);
    writeText(kHeld, kHeldSplit);
    Sleep(20);
    writeText(kHeld + kHeldSplit, static_cast<std::int32_t>(std::strlen(kHeld)) - kHeldSplit);
    LeaveCriticalSection(&gDriver.channel.outputRing.guard);
    return 0;
}

DWORD writeSentence(LPVOID sentence)
{
    const auto* text = static_cast<const char*>(sentence);
    writeText(text, static_cast<std::int32_t>(std::strlen(text)));
    return 0;
}

TEST_F(ByteRingTest, WritesReadsAndResetsNeverMeetInsideAWrite)
{
    std::vector<HANDLE> threads;
    auto startHolder = [&] {  // returns 5 ms later, half the sentence in the ring
        threads.push_back(CreateThread(nullptr, 0, holdAcrossSleep, nullptr, 0, nullptr));
        Sleep(5);
        EXPECT_EQ(ring.head - ring.tail, static_cast<std::uint32_t>(kHeldSplit));
    };
    auto takeText = [&] {
        Bytes b = take(512);
        return std::string(b.begin(), b.end());
    };

    // Writers arriving during the holder's write: its sentence first and
    // whole, then each writer's once and whole, in whatever order.
    startHolder();
    std::vector<std::string> pending = {"$W1,alpha*11\r\n", "$W2,bravo,charlie*22\r\n", "$W3,delta*33\r\n"};
    for (const std::string& s : pending) {
        threads.push_back(CreateThread(nullptr, 0, writeSentence, const_cast<char*>(s.c_str()), 0, nullptr));
    }
    Sleep(100);
    std::string text = takeText();
    ASSERT_EQ(text.rfind(kHeld, 0), 0u) << text;
    text.erase(0, std::strlen(kHeld));
    std::vector<std::string> left = pending;
    while (!left.empty()) {
        auto s = std::find_if(left.begin(), left.end(), [&](const std::string& s) { return text.rfind(s, 0) == 0; });
        ASSERT_NE(s, left.end()) << "torn or repeated: " << text;
        text.erase(0, s->size());
        left.erase(s);
    }
    EXPECT_EQ(text, "");

    // A read, and a reset, during the holder's write wait for its end (the
    // read tries the guard every millisecond, the reset waits on it).
    sim::Micros start = kernel.now();
    startHolder();
    EXPECT_EQ(takeText(), kHeld);
    EXPECT_GE(kernel.now(), start + 20'000);
    EXPECT_LE(kernel.now(), start + 21'000);
    Sleep(1);
    start = kernel.now();
    startHolder();
    ring.reset(512);
    EXPECT_EQ(kernel.now(), start + 20'000);
    Sleep(1);
    EXPECT_EQ(takeText(), "");

    for (HANDLE t : threads) {
        EXPECT_TRUE(kernel.threadExited(t));
        CloseHandle(t);
    }
}

}  // namespace
