// The exact base-12 and base-144 digit sources and the per-thread generator: seeding,
// reseeding after 64 KiB, failure of the entropy source, and fork.
#include "cube/move_digits.h"
#include "cube/rng.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tessaroll {
namespace {

// Yields the given words in order, then counts upward from `next`.
struct ScriptedGen {
    std::vector<std::uint32_t> words;
    std::size_t pos = 0;
    std::uint32_t next = 0;
    std::size_t calls = 0;
    std::uint32_t next_u32() {
        ++calls;
        return pos < words.size() ? words[pos++] : next++;
    }
};

std::uint64_t pow12(unsigned k) {
    std::uint64_t p = 1;
    while (k--)
        p *= 12;
    return p;
}

TEST(MoveDigits, LimitIsTheLargestWholeNumberOfPeriods) {
    const std::uint64_t two32 = std::uint64_t{1} << 32;
    EXPECT_EQ(kMoveDigitLimit % pow12(8), 0u);
    EXPECT_LE(kMoveDigitLimit, two32);
    EXPECT_GT(kMoveDigitLimit + pow12(8), two32);
}

TEST(MoveDigits, PeelsTheEightLowBase12DigitsOfEachWord) {
    const std::vector<std::uint32_t> samples = {0,
                                                1,
                                                11,
                                                12,
                                                143,
                                                144,
                                                static_cast<std::uint32_t>(pow12(8) - 1),
                                                static_cast<std::uint32_t>(pow12(8)),
                                                123456789,
                                                kMoveDigitLimit - 1};
    for (std::uint32_t w : samples) {
        ScriptedGen gen{{w}};
        MoveDigits<ScriptedGen> digits(gen);
        std::uint64_t rebuilt = 0;
        for (unsigned k = 0; k < 8; ++k) {
            const std::size_t d = digits.next();
            ASSERT_LT(d, 12u);
            rebuilt += d * pow12(k);
        }
        EXPECT_EQ(rebuilt, w % pow12(8)) << w;
        EXPECT_EQ(gen.calls, 1u) << "one word serves eight digits";
    }
}

TEST(MoveDigits, RejectsWordsAtOrAboveTheLimit) {
    ScriptedGen gen{{0xFFFFFFFFu, kMoveDigitLimit, kMoveDigitLimit + 5, 13}};
    MoveDigits<ScriptedGen> digits(gen);
    EXPECT_EQ(digits.next(), 1u); // 13 = 1 + 1 * 12
    EXPECT_EQ(digits.next(), 1u);
    EXPECT_EQ(gen.calls, 4u);
}

// For a power-of-two base B^k divides 2^32: every word is accepted, the
// largest included.
TEST(UniformDigits, PowerOfTwoBasesAcceptEveryWord) {
    ScriptedGen gen{{0xFFFFFFFFu, 0x80000001u}};
    UniformDigits<ScriptedGen, 65536> halves(gen);
    EXPECT_EQ(halves.next(), 0xFFFFu);
    EXPECT_EQ(halves.next(), 0xFFFFu);
    EXPECT_EQ(halves.next(), 0x0001u);
    EXPECT_EQ(halves.next(), 0x8000u);
    EXPECT_EQ(gen.calls, 2u);

    ScriptedGen bit_gen{{0xFFFFFFFFu}};
    UniformDigits<ScriptedGen, 2> bits(bit_gen);
    for (int k = 0; k < 32; ++k)
        ASSERT_EQ(bits.next(), 1u) << k;
    EXPECT_EQ(bit_gen.calls, 1u);
}

TEST(MoveDigits, DiscardStartsAFreshWord) {
    ScriptedGen gen{{5, 7}};
    MoveDigits<ScriptedGen> digits(gen);
    EXPECT_EQ(digits.next(), 5u);
    digits.discard();
    EXPECT_EQ(digits.next(), 7u);
}

// Exact uniformity over a whole period of a reduced space: every word of
// 0..12^5-1 in turn gives every 5-tuple of leading digits exactly once (and the
// three digits after them are 0). The accepted range is nine whole periods of
// 12^8, and the peel does the same thing at every digit, so this is the full
// argument in small.
TEST(MoveDigits, ExactlyUniformOverAWholePeriod) {
    const std::uint64_t period = pow12(5);
    std::vector<std::uint8_t> seen(period, 0);
    ScriptedGen gen;
    MoveDigits<ScriptedGen> digits(gen);
    for (std::uint64_t w = 0; w < period; ++w) {
        std::uint64_t tuple = 0;
        for (unsigned k = 0; k < 5; ++k)
            tuple += digits.next() * pow12(k);
        for (unsigned k = 5; k < 8; ++k)
            ASSERT_EQ(digits.next(), 0u);
        ASSERT_EQ(tuple, w);
        ++seen[tuple];
    }
    for (std::uint64_t t = 0; t < period; ++t)
        ASSERT_EQ(seen[t], 1) << t;
}

// Base 144 accepts exactly the words base 12 accepts, and each pair digit is
// two consecutive base-12 digits of the same word: first move d / 12, second
// d % 12.
TEST(MovePairDigits, AreConsecutiveBase12DigitsOfTheSameWords) {
    const std::vector<std::uint32_t> words = {0xFFFFFFFFu,
                                              kMoveDigitLimit,
                                              0,
                                              143,
                                              144,
                                              kMoveDigitLimit - 1,
                                              987654321,
                                              kMoveDigitLimit + 1,
                                              static_cast<std::uint32_t>(pow12(8) - 1)};
    ScriptedGen single_gen{words};
    ScriptedGen pair_gen{words};
    MoveDigits<ScriptedGen> singles(single_gen);
    MovePairDigits<ScriptedGen> pairs(pair_gen);
    for (int k = 0; k < 4 * 8; ++k) {
        const std::size_t d = pairs.next();
        ASSERT_LT(d, 144u);
        const std::size_t low = singles.next();
        const std::size_t high = singles.next();
        ASSERT_EQ(d, low + 12 * high) << k;
        ASSERT_EQ(pair_gen.calls, single_gen.calls) << k;
    }
}

// As above, in small: every word of 0..144^3-1 gives every triple of leading
// pair digits exactly once, the fourth digit being 0.
TEST(MovePairDigits, ExactlyUniformOverAWholePeriod) {
    const std::uint64_t period = 144 * 144 * 144;
    std::vector<std::uint8_t> seen(period, 0);
    ScriptedGen gen;
    MovePairDigits<ScriptedGen> digits(gen);
    for (std::uint64_t w = 0; w < period; ++w) {
        std::uint64_t tuple = 0;
        for (std::uint64_t k = 0, p = 1; k < 3; ++k, p *= 144)
            tuple += digits.next() * p;
        ASSERT_EQ(digits.next(), 0u);
        ASSERT_EQ(tuple, w);
        ++seen[tuple];
    }
    for (std::uint64_t t = 0; t < period; ++t)
        ASSERT_EQ(seen[t], 1) << t;
}

TEST(MovePairDigits, ChaCha8DrawsLookUniform) {
    ChaCha<8> gen(ChaCha<8>::Key{8, 7, 6, 5, 4, 3, 2, 1});
    MovePairDigits<ChaCha<8>> digits(gen);
    constexpr int n = 1440000;
    std::array<int, 144> count{};
    for (int i = 0; i < n; ++i)
        ++count[digits.next()];
    double chi = 0;
    const double e = n / 144.0;
    for (int c : count)
        chi += (c - e) * (c - e) / e;
    EXPECT_LT(chi, 250.0); // 143 degrees of freedom; p < 1e-6
}

TEST(MoveDigits, ChaCha8DrawsLookUniform) {
    ChaCha<8> gen(ChaCha<8>::Key{1, 2, 3, 4, 5, 6, 7, 8});
    MoveDigits<ChaCha<8>> digits(gen);
    constexpr int n = 1200000;
    std::array<int, 12> count{};
    std::array<std::array<int, 12>, 12> pairs{};
    std::size_t prev = digits.next();
    for (int i = 0; i < n; ++i) {
        const std::size_t d = digits.next();
        ++count[d];
        ++pairs[prev][d];
        prev = d;
    }
    double chi = 0;
    for (int c : count)
        chi += (c - n / 12.0) * (c - n / 12.0) / (n / 12.0);
    EXPECT_LT(chi, 60.0); // 11 degrees of freedom; p < 1e-8
    double chi2 = 0;
    const double e2 = n / 144.0;
    for (auto& row : pairs) {
        for (int c : row)
            chi2 += (c - e2) * (c - e2) / e2;
    }
    EXPECT_LT(chi2, 250.0); // 143 degrees of freedom; p < 1e-6
}

// A deterministic entropy source that counts its calls; byte b of call c is
// (c * 37 + b) mod 256.
std::atomic<int> g_seed_calls{0};
void counting_source(std::span<std::byte> out) {
    const int c = g_seed_calls.fetch_add(1);
    for (std::size_t b = 0; b < out.size(); ++b)
        out[b] = std::byte((c * 37 + b) & 0xFF);
}
void failing_source(std::span<std::byte>) {
    throw std::system_error(EIO, std::generic_category(), "entropy source");
}

ChaCha<12>::Key counting_key(int call) {
    ChaCha<12>::Key key;
    for (std::uint32_t i = 0; i < 8; ++i) {
        key[i] = 0;
        for (std::uint32_t k = 0; k < 4; ++k)
            key[i] |= ((call * 37 + 4 * i + k) & 0xFF) << (8 * k);
    }
    return key;
}

// Runs f on a new thread, so that it meets a thread generator of its own.
template <class F>
void on_fresh_thread(F f) {
    std::thread t(f);
    t.join();
}

class ThreadRngTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_seed_calls = 0;
        testing::set_entropy_source(&counting_source);
    }
    void TearDown() override { testing::set_entropy_source(nullptr); }
};

TEST_F(ThreadRngTest, SeededOnFirstUseWithChaCha12OfTheSeed) {
    on_fresh_thread([] {
        ThreadRng& rng = thread_rng();
        EXPECT_EQ(g_seed_calls, 1);
        ChaCha<12> expect(counting_key(0));
        for (int i = 0; i < 200; ++i)
            ASSERT_EQ(rng.next_u32(), expect.next_u32());
        EXPECT_EQ(&thread_rng(), &rng);
        EXPECT_EQ(g_seed_calls, 1);
    });
}

TEST_F(ThreadRngTest, ReseedsAfterEvery64KiB) {
    on_fresh_thread([] {
        ThreadRng& rng = thread_rng();
        ChaCha<12> first(counting_key(0));
        const int words_per_key = static_cast<int>(ThreadRng::kReseedBytes / 4);
        for (int i = 0; i < words_per_key; ++i)
            ASSERT_EQ(rng.next_u32(), first.next_u32());
        EXPECT_EQ(g_seed_calls, 1);
        ChaCha<12> second(counting_key(1));
        for (int i = 0; i < words_per_key; ++i)
            ASSERT_EQ(rng.next_u32(), second.next_u32());
        EXPECT_EQ(g_seed_calls, 2);
        rng.next_u32();
        EXPECT_EQ(g_seed_calls, 3);
    });
}

TEST_F(ThreadRngTest, ThreadsHaveTheirOwnGenerators) {
    std::uint32_t a = 0, b = 0;
    on_fresh_thread([&] { a = thread_rng().next_u32(); });
    on_fresh_thread([&] { b = thread_rng().next_u32(); });
    EXPECT_EQ(g_seed_calls, 2);
    EXPECT_NE(a, b);
}

TEST_F(ThreadRngTest, FailingSourceThrowsAndALaterCallRecovers) {
    on_fresh_thread([] {
        testing::set_entropy_source(&failing_source);
        EXPECT_THROW(thread_rng(), std::system_error);
        EXPECT_THROW(thread_rng(), std::system_error);
        testing::set_entropy_source(&counting_source);
        ThreadRng& rng = thread_rng();
        ChaCha<12> expect(counting_key(0));
        EXPECT_EQ(rng.next_u32(), expect.next_u32());
    });
}

TEST_F(ThreadRngTest, FailedReseedThrowsFromTheDraw) {
    on_fresh_thread([] {
        ThreadRng& rng = thread_rng();
        for (std::uint64_t i = 0; i < ThreadRng::kReseedBytes / 4; ++i)
            rng.next_u32();
        testing::set_entropy_source(&failing_source);
        EXPECT_THROW(rng.next_u32(), std::system_error);
        testing::set_entropy_source(&counting_source);
        ChaCha<12> expect(counting_key(1));
        EXPECT_EQ(rng.next_u32(), expect.next_u32());
    });
}

TEST_F(ThreadRngTest, ForgetDropsBufferedWords) {
    on_fresh_thread([] {
        ThreadRng& rng = thread_rng();
        rng.next_u32();
        rng.forget();
        EXPECT_FALSE(rng.seeded());
        ChaCha<12> expect(counting_key(1));
        EXPECT_EQ(rng.next_u32(), expect.next_u32()); // not word 1 of the old key
        EXPECT_EQ(g_seed_calls, 2);
    });
}

// The child of a fork must not continue its parent's stream, not even for the
// words already buffered.
TEST(ThreadRngFork, ChildDrawsFromAFreshSeed) {
    testing::set_entropy_source(nullptr);
    ThreadRng& rng = thread_rng();
    rng.next_u32(); // leave 63 buffered words behind
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    constexpr int n = 16;
    if (pid == 0) {
        ::close(fds[0]);
        std::uint32_t words[n];
        for (auto& w : words)
            w = thread_rng().next_u32();
        const bool ok = ::write(fds[1], words, sizeof words) == static_cast<ssize_t>(sizeof words);
        ::_exit(ok ? 0 : 1);
    }
    ::close(fds[1]);
    std::uint32_t child[n];
    std::size_t got = 0;
    while (got < sizeof child) {
        const ssize_t r = ::read(fds[0], reinterpret_cast<char*>(child) + got, sizeof child - got);
        if (r <= 0) break;
        got += static_cast<std::size_t>(r);
    }
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_EQ(got, sizeof child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::uint32_t parent[n];
    for (auto& w : parent)
        w = rng.next_u32();
    EXPECT_NE(std::memcmp(parent, child, sizeof parent), 0);
}

TEST(OsRandomBytes, FillsTheWholeRequest) {
    std::array<std::byte, 4096> a{}, b{};
    os_random_bytes(a);
    os_random_bytes(b);
    EXPECT_NE(a, b);
    // 4096 zero bytes from a working source are practically impossible.
    std::size_t nonzero_tail = 0;
    for (std::size_t i = 4000; i < a.size(); ++i)
        nonzero_tail += a[i] != std::byte{0};
    EXPECT_GT(nonzero_tail, 0u);
}

} // namespace
} // namespace tessaroll
