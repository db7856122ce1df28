#include "channel/ByteRing.h"

#include "sim/kernel/Kernel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace {

class ByteRingTest : public ::testing::Test {
protected:
    ByteRingTest()
    {
        InitializeCriticalSection(&ring.guard);
        ring.reset(512);
    }
    ~ByteRingTest() override { DeleteCriticalSection(&ring.guard); }

    std::int32_t put(const std::vector<std::uint8_t>& bytes)
    {
        return ring.write(bytes.data(), static_cast<std::int32_t>(bytes.size()));
    }
    std::int32_t put(const std::string& text)
    {
        return ring.write(reinterpret_cast<const std::uint8_t*>(text.data()), static_cast<std::int32_t>(text.size()));
    }
    std::vector<std::uint8_t> take(std::int32_t count)
    {
        std::vector<std::uint8_t> out(count > 0 ? count : 0);
        out.resize(ring.read(out.data(), count));
        return out;
    }
    std::string takeText(std::int32_t count)
    {
        auto bytes = take(count);
        return {bytes.begin(), bytes.end()};
    }

    sim::Kernel kernel;
    ByteRing ring{};
};

std::vector<std::uint8_t> sequence(std::size_t count, std::uint8_t first)
{
    std::vector<std::uint8_t> bytes(count);
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<std::uint8_t>(first + i);
    }
    return bytes;
}

TEST_F(ByteRingTest, EmptyRingAndNonPositiveCountsMoveNothing)
{
    std::array<std::uint8_t, 4> destination{9, 9, 9, 9};
    EXPECT_EQ(ring.read(destination.data(), 4), 0);
    EXPECT_EQ(destination, (std::array<std::uint8_t, 4>{9, 9, 9, 9}));

    const std::uint8_t bytes[3] = {1, 2, 3};
    EXPECT_EQ(ring.write(bytes, 0), 0);
    EXPECT_EQ(ring.write(bytes, -1), 0);
    EXPECT_EQ(ring.write(bytes, INT32_MIN), 0);
    EXPECT_EQ(ring.head, 0u);

    ASSERT_EQ(ring.write(bytes, 3), 3);
    EXPECT_EQ(ring.read(destination.data(), 0), 0);
    EXPECT_EQ(ring.read(destination.data(), -4), 0);
    EXPECT_EQ(destination, (std::array<std::uint8_t, 4>{9, 9, 9, 9}));
    EXPECT_EQ(take(10), (std::vector<std::uint8_t>{1, 2, 3}));
}

TEST_F(ByteRingTest, WholeSizeWriteIsKeptAndReadsAreCappedAtSize)
{
    const auto full = sequence(512, 0);
    ASSERT_EQ(put(full), 512);
    EXPECT_EQ(ring.head - ring.tail, 512u);
    EXPECT_EQ(take(1000), full);
    EXPECT_EQ(take(1), std::vector<std::uint8_t>{});

    ring.reset(32);
    ASSERT_EQ(put(sequence(32, 100)), 32);
    EXPECT_EQ(take(100), sequence(32, 100));
}

TEST_F(ByteRingTest, WriteLongerThanRingStoresSizeMinusOne)
{
    EXPECT_EQ(put(sequence(513, 0)), 511);
    EXPECT_EQ(take(512), sequence(511, 0));

    ring.reset(32);
    EXPECT_EQ(put(sequence(40, 1)), 31);
    EXPECT_EQ(take(32), sequence(31, 1));

    // Into a ring that already holds 5 bytes: 36 bytes for 32 places, so the
    // four oldest go.
    ASSERT_EQ(put(sequence(5, 200)), 5);
    EXPECT_EQ(put(sequence(40, 1)), 31);
    auto expected = std::vector<std::uint8_t>{204};
    const auto fresh = sequence(31, 1);
    expected.insert(expected.end(), fresh.begin(), fresh.end());
    EXPECT_EQ(take(32), expected);
}

TEST_F(ByteRingTest, WriteIntoFullRingDropsTheOldestBytes)
{
    ASSERT_EQ(put(sequence(512, 0)), 512);
    ASSERT_EQ(put(sequence(10, 0xF0)), 10);
    EXPECT_EQ(ring.head - ring.tail, 512u);

    auto expected = sequence(502, 10);
    const auto fresh = sequence(10, 0xF0);
    expected.insert(expected.end(), fresh.begin(), fresh.end());
    EXPECT_EQ(take(512), expected);
}

TEST_F(ByteRingTest, ReadZeroesOnlyTheBytesItTakes)
{
    ring.reset(32);
    std::memset(ring.data, 0x77, sizeof ring.data);
    ASSERT_EQ(put("ABCDEFGH"), 8);
    EXPECT_EQ(takeText(3), "ABC");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(ring.data), 8), std::string("\0\0\0DEFGH", 8));
    EXPECT_EQ(ring.data[8], 0x77);  // never written, never read

    // A reset empties the ring without clearing the store.
    ring.reset(32);
    EXPECT_EQ(ring.data[3], 'D');
    EXPECT_EQ(take(8), std::vector<std::uint8_t>{});
}

TEST_F(ByteRingTest, CountersPassingTwoToThe32KeepTheRingWorking)
{
    ring.reset(32);
    ring.head = 0xFFFFFFFEu;
    ring.tail = 0xFFFFFFFEu;
    ASSERT_EQ(put("abcd"), 4);
    EXPECT_EQ(ring.head, 2u);
    // The byte of counter c lives at c AND (size - 1).
    EXPECT_EQ(ring.data[30], 'a');
    EXPECT_EQ(ring.data[31], 'b');
    EXPECT_EQ(ring.data[0], 'c');
    EXPECT_EQ(ring.data[1], 'd');
    EXPECT_EQ(takeText(32), "abcd");
    EXPECT_EQ(ring.tail, 2u);

    // Full across the wrap: tail before 2^32, head after it.
    ring.head = 0xFFFFFFF0u;
    ring.tail = 0xFFFFFFF0u;
    ASSERT_EQ(put(sequence(32, 0)), 32);
    EXPECT_EQ(ring.head, 0x10u);
    ASSERT_EQ(put(sequence(3, 0x80)), 3);
    EXPECT_EQ(ring.tail, 0xFFFFFFF3u);
    auto expected = sequence(29, 3);
    const auto fresh = sequence(3, 0x80);
    expected.insert(expected.end(), fresh.begin(), fresh.end());
    EXPECT_EQ(take(32), expected);
}

// ---- Concurrent use -------------------------------------------------------
//
// A simulated thread gives up the processor only where it blocks, so to make
// writers meet inside one write, a holder thread takes the ring's guard, puts
// the first half of its sentence in, sleeps with the guard held, and then puts
// the second half in. Whatever the others do in the meantime must wait for the
// whole of the holder's sentence.

constexpr char kHeldSentence[] = "$HOLD,first half,second half*00\r\n";
constexpr std::size_t kHeldSplit = 16;

struct Holder {
    ByteRing* ring;
};

DWORD holdGuardAcrossSleep(LPVOID parameter)
{
    ByteRing& ring = *static_cast<Holder*>(parameter)->ring;
    const auto* text = reinterpret_cast<const std::uint8_t*>(kHeldSentence);
    const auto length = static_cast<std::int32_t>(std::strlen(kHeldSentence));
    EnterCriticalSection(&ring.guard);
    ring.write(text, static_cast<std::int32_t>(kHeldSplit));
    Sleep(20);
    ring.write(text + kHeldSplit, length - static_cast<std::int32_t>(kHeldSplit));
    LeaveCriticalSection(&ring.guard);
    return 0;
}

struct Writer {
    ByteRing* ring;
    const char* sentence;
};

DWORD writeSentence(LPVOID parameter)
{
    auto* writer = static_cast<Writer*>(parameter);
    writer->ring->write(reinterpret_cast<const std::uint8_t*>(writer->sentence),
                        static_cast<std::int32_t>(std::strlen(writer->sentence)));
    return 0;
}

class ContendedRingTest : public ByteRingTest {
protected:
    // Starts the holder and lets it take the guard; returns at 5 ms, with the
    // holder asleep until 20 ms holding half its sentence in the ring.
    void startHolder()
    {
        heldSince = kernel.now();
        holderThread = CreateThread(nullptr, 0, holdGuardAcrossSleep, &holder, 0, nullptr);
        ASSERT_NE(holderThread, nullptr);
        Sleep(5);
        ASSERT_EQ(ring.head - ring.tail, kHeldSplit);
    }
    void finish(HANDLE thread)
    {
        Sleep(1);
        EXPECT_TRUE(kernel.threadExited(thread));
        CloseHandle(thread);
    }

    Holder holder{&ring};
    HANDLE holderThread = nullptr;
    sim::Micros heldSince = 0;
};

TEST_F(ContendedRingTest, WritersWaitForAWholeWriteOfAnother)
{
    startHolder();
    const char* sentences[] = {"$W1,alpha*11\r\n", "$W2,bravo,charlie*22\r\n", "$W3,delta*33\r\n"};
    Writer writers[3];
    HANDLE threads[3];
    for (int i = 0; i < 3; ++i) {
        writers[i] = {&ring, sentences[i]};
        threads[i] = CreateThread(nullptr, 0, writeSentence, &writers[i], 0, nullptr);
        ASSERT_NE(threads[i], nullptr);
    }
    Sleep(100);
    finish(holderThread);
    for (HANDLE thread : threads) {
        finish(thread);
    }

    // The holder's sentence comes first and whole; each writer's sentence
    // follows once and whole, in whatever order they were let in.
    std::string text = takeText(512);
    ASSERT_EQ(text.substr(0, std::strlen(kHeldSentence)), kHeldSentence) << text;
    text.erase(0, std::strlen(kHeldSentence));
    std::vector<std::string> pending(std::begin(sentences), std::end(sentences));
    while (!text.empty()) {
        auto match = std::find_if(pending.begin(), pending.end(),
                                  [&](const std::string& sentence) { return text.rfind(sentence, 0) == 0; });
        ASSERT_NE(match, pending.end()) << "torn or foreign bytes: " << text;
        text.erase(0, match->size());
        pending.erase(match);
    }
    EXPECT_TRUE(pending.empty());
}

TEST_F(ContendedRingTest, ReaderAndResetWaitForAWholeWrite)
{
    // A read during the holder's write waits for its end and sees the whole sentence.
    startHolder();
    EXPECT_EQ(takeText(512), kHeldSentence);
    EXPECT_EQ(kernel.now(), heldSince + 20'000u);
    finish(holderThread);

    // A reset during the holder's write waits for its end and empties the ring
    // of the whole sentence, not just of its first half.
    startHolder();
    ring.reset(512);
    EXPECT_EQ(kernel.now(), heldSince + 20'000u);
    EXPECT_EQ(ring.head, 0u);
    Sleep(1);
    EXPECT_EQ(takeText(512), "");
    finish(holderThread);
}

}  // namespace
