// The branch-free turn rows used by the batch scramble must give exactly the
// states of apply_move_index_internal: single rows for every move index on
// reachable states and on arbitrary words (unused high bits, twist value 3,
// repeated pieces) alike; pair rows for every ordered pair of moves on
// reachable states and on arbitrary words whose corner twists are 0..2 (a
// pair that returns a corner to its slot untwisted leaves it alone, where
// the two single turns would reduce a twist of 3).
#include "cubeBatch/turn_table.h"

#include <gtest/gtest.h>

#include <bit>
#include <random>
#include <tuple>

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

// Arbitrary words with every corner twist field (bits 5a+3, 5a+4) below 3.
template <class C>
C random_valid_twists(std::mt19937_64& rng) {
    C c = random_words<C>(rng);
    u64& corners = turn_table::Layout<C>::word(c, 0);
    for (unsigned a = 0; a < 8; ++a) {
        if (((corners >> (5 * a + 3)) & 3) == 3) corners &= ~(u64{1} << (5 * a + 4));
    }
    return c;
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

template <class C>
void check_pairs() {
    const auto& rows = turn_table::pair_table<C>();
    std::mt19937_64 rng(54321);
    C walk{};
    for (int trial = 0; trial < 3000; ++trial) {
        apply_move_index_internal(walk, rng() % kMoveCount);
        for (C start : {walk, random_valid_twists<C>(rng)}) {
            for (std::size_t m1 = 0; m1 < kMoveCount; ++m1) {
                for (std::size_t m2 = 0; m2 < kMoveCount; ++m2) {
                    C expected = start;
                    apply_move_index_internal(expected, m1);
                    apply_move_index_internal(expected, m2);
                    C got = start;
                    turn_table::apply(got, rows[kMoveCount * m1 + m2]);
                    ASSERT_TRUE(same(got, expected))
                        << "moves " << m1 << ", " << m2 << " trial " << trial;
                }
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

TEST(TurnTable, PairsMatchTheSwitchOn3x3) {
    check_pairs<Cube3x3>();
}
TEST(TurnTable, PairsMatchTheSwitchOn2x2) {
    check_pairs<Cube2x2>();
}

// The receiving masks of one word: whole 5-bit slots, disjoint, and keep is
// their complement.
template <class W>
u64 receiving(const W& w) {
    u64 dests = 0;
    for (u64 d : w.dest) {
        for (unsigned a = 0; a < 12; ++a) {
            const u64 field = (d >> (5 * a)) & 0x1F;
            EXPECT_TRUE(field == 0 || field == 0x1F) << std::hex << d;
        }
        EXPECT_EQ(d >> 60, 0u);
        EXPECT_EQ(dests & d, 0u);
        dests |= d;
    }
    EXPECT_EQ(w.keep, ~dests);
    return dests;
}

TEST(TurnTable, EveryRowIsOneFourCyclePerWord) {
    for (const auto& row : turn_table::table<Cube3x3>()) {
        std::apply(
            [](const auto&... w) {
                for (u64 dests : {receiving(w)...})
                    EXPECT_EQ(std::popcount(dests), 20);
            },
            row);
    }
}

// Every receiving slot of a pair row is listed (none dropped for want of a
// free term): a quarter turn and its inverse cancel, two different turns of
// the same face move 4 corners and 4 edges, others up to 7 or 8 of each.
TEST(TurnTable, PairRowsListEveryMovedSlot) {
    const auto& rows = turn_table::pair_table<Cube3x3>();
    for (std::size_t m1 = 0; m1 < kMoveCount; ++m1) {
        for (std::size_t m2 = 0; m2 < kMoveCount; ++m2) {
            Cube3x3 turned{};
            apply_move_index_internal(turned, m1);
            apply_move_index_internal(turned, m2);
            const auto& [corners, edges] = rows[kMoveCount * m1 + m2];
            const u64 words[2] = {turned.corners, turned.edges};
            const u64 dests[2] = {receiving(corners), receiving(edges)};
            for (int i = 0; i < 2; ++i) {
                for (unsigned a = 0; a < (i == 0 ? 8u : 12u); ++a) {
                    const bool moved = ((words[i] >> (5 * a)) & 0x1F) != a;
                    EXPECT_EQ(((dests[i] >> (5 * a)) & 0x1F) != 0, moved)
                        << m1 << ", " << m2 << " word " << i << " slot " << a;
                }
            }
        }
    }
}

} // namespace
} // namespace tessaroll
