// The branch-free turn rows used by the batch scramble must give exactly the
// states of apply_move_index_internal, for every move index, on reachable
// states and on arbitrary words (unused high bits, twist value 3, repeated
// pieces) alike.
#include "cubeBatch/turn_table.h"

#include <gtest/gtest.h>

#include <bit>
#include <random>

namespace tessaroll {
using turn_table::u64;
namespace {

template <class C>
C random_words(std::mt19937_64& rng) {
    C c{};
    for (std::size_t i = 0; i < turn_table::Layout<C>::words; ++i) {
        turn_table::Layout<C>::word(c, i) = rng();
    }
    return c;
}

template <class C>
bool same(C a, C b) {
    for (std::size_t i = 0; i < turn_table::Layout<C>::words; ++i) {
        if (turn_table::Layout<C>::word(a, i) != turn_table::Layout<C>::word(b, i)) return false;
    }
    return true;
}

template <class C>
void check_model() {
    const auto& rows = turn_table::table<C>();
    std::mt19937_64 rng(12345);
    C walk{};
    for (int trial = 0; trial < 20000; ++trial) {
        // A reachable state (random walk) and an arbitrary one.
        apply_move_index_internal(walk, rng() % kMoveCount);
        for (C start : {walk, random_words<C>(rng)}) {
            for (std::size_t m = 0; m < kMoveCount; ++m) {
                C expected = start;
                apply_move_index_internal(expected, m);
                C got = start;
                turn_table::apply(got, rows[m]);
                ASSERT_TRUE(same(got, expected)) << "move " << m << " trial " << trial;
            }
        }
    }
}

TEST(TurnTable, MatchesTheSwitchOn3x3) {
    check_model<Cube3x3>();
}
TEST(TurnTable, MatchesTheSwitchOn2x2) {
    check_model<Cube2x2>();
}

TEST(TurnTable, EveryRowIsOneFourCyclePerWord) {
    for (const auto& row : turn_table::table<Cube3x3>()) {
        for (const auto& w : row) {
            u64 dests = 0;
            for (u64 d : w.dest) {
                EXPECT_EQ(std::popcount(d), 5);
                dests |= d;
            }
            EXPECT_EQ(std::popcount(dests), 20);
            EXPECT_EQ(w.keep, ~dests);
        }
    }
}

} // namespace
} // namespace tessaroll
