// The division-free twist arithmetic, checked exhaustively against the
// documented per-field formulas, including the never-produced value 3.
#include "cube/cube.h"
#include "cube/slots.h"
#include "cube2x2/utils.h"
#include "cube3x3/utils.h"

#include <gtest/gtest.h>

namespace tessaroll {
namespace {

using slots::u64;

u64 twist_of(u64 w, unsigned slot) {
    return (w >> (5 * slot + 3)) & 3;
}

TEST(Slots, TwistAddMatchesFormulaInEverySlotAndValue) {
    constexpr u64 unit = slots::kTwistUnit<0, 2, 5, 7>;
    for (u64 pattern = 0; pattern < 256; ++pattern) {
        u64 w = 0x0000F0'0000000000ULL | 0x7; // high bits and a piece number ride along
        for (unsigned s = 0; s < 8; ++s)
            w |= ((pattern >> (s % 4 * 2)) & 3) << (5 * s + 3);
        const u64 p1 = slots::twist_add1<unit>(w);
        const u64 p2 = slots::twist_add2<unit>(w);
        for (unsigned s = 0; s < 8; ++s) {
            const u64 t = twist_of(w, s);
            const bool moved = (unit >> (5 * s + 3)) & 1;
            EXPECT_EQ(twist_of(p1, s), moved ? (t >= 2 ? t - 2 : t + 1) : t) << pattern << ' ' << s;
            EXPECT_EQ(twist_of(p2, s), moved ? (t == 0 ? 2 : t - 1) : t) << pattern << ' ' << s;
        }
        const u64 untouched = ~(unit | (unit << 1));
        EXPECT_EQ(p1 & untouched, w & untouched);
        EXPECT_EQ(p2 & untouched, w & untouched);
    }
}

TEST(Slots, VectorAndScalarLayerTurnsAgree) {
    Cube3x3 c;
    c.do_r_move_internal();
    c.do_f_move_internal();
    Cube3x3 v = c;
    v.do_u_move_internal();
    EXPECT_EQ(v.corners, slots::layer_u(c.corners));
    EXPECT_EQ(v.edges, slots::layer_u(c.edges));
    v = c;
    v.do_d_prime_move_internal();
    EXPECT_EQ(v.corners, slots::layer_d_prime(c.corners));
    EXPECT_EQ(v.edges, slots::layer_d_prime(c.edges));
}

} // namespace
} // namespace tessaroll

namespace tessaroll {
namespace {

// Bits above the slots never occur in a reachable state, so Python cannot set
// them; check here that every turn carries them through and that they make
// the solved test fail.
TEST(Turns, HighBitsRideThroughEveryTurn) {
    constexpr std::uint64_t kCornerHigh = 0xABCDEF0000000000ULL;
    constexpr std::uint64_t kEdgeHigh = 0x9000000000000000ULL;
    for (std::size_t index = 0; index < 12; ++index) {
        Cube3x3 c;
        c.corners |= kCornerHigh;
        c.edges |= kEdgeHigh;
        EXPECT_FALSE(c.is_solved());
        apply_move_index_internal(c, index);
        EXPECT_EQ(c.corners & kCornerHigh, kCornerHigh) << index;
        EXPECT_EQ(c.edges & ~0x0FFFFFFFFFFFFFFFULL, kEdgeHigh) << index;
        apply_move_index_internal(c, index ^ 1);
        EXPECT_EQ(c.corners, Cube3x3::kSolvedCorners | kCornerHigh);
        EXPECT_EQ(c.edges, Cube3x3::kSolvedEdges | kEdgeHigh);

        Cube2x2 s;
        s.state |= kCornerHigh;
        EXPECT_FALSE(s.is_solved());
        apply_move_index_internal(s, index);
        EXPECT_EQ(s.state & kCornerHigh, kCornerHigh) << index;
    }
}

TEST(Turns, IndexesAboveElevenAreNoOps) {
    for (std::size_t index : {std::size_t{12}, std::size_t{255}, ~std::size_t{0}}) {
        Cube3x3 c;
        c.do_r_move_internal();
        const Cube3x3 before = c;
        apply_move_index_internal(c, index);
        EXPECT_EQ(c, before);
    }
}

} // namespace
} // namespace tessaroll
