// Compile-time checks of the turn formulas against the documented slot
// effects. The run-time tests cover the same ground on random states.
#include "cube3x3/utils.h"

namespace tessaroll {
namespace {

using slots::field;
using slots::u64;
constexpr u64 corner(unsigned piece, unsigned twist) {
    return piece | (twist << 3);
}

// R on the solved corners: 1 <- (2, +1), 2 <- (6, +2), 5 <- (1, +2), 6 <- (5, +1).
constexpr u64 kCornersAfterR = corner_turns::r(Cube3x3::kSolvedCorners);
static_assert(field(kCornersAfterR, 1) == corner(2, 1) &&
              field(kCornersAfterR, 2) == corner(6, 2) &&
              field(kCornersAfterR, 5) == corner(1, 2) && field(kCornersAfterR, 6) == corner(5, 1));

// F on the solved edges: slots 2, 6, 10, 11 hold 11, 10, 2, 6, each flipped.
constexpr u64 kEdgesAfterF = edge_turns::f(Cube3x3::kSolvedEdges);
static_assert(field(kEdgesAfterF, 2) == (11 | 16) && field(kEdgesAfterF, 6) == (10 | 16) &&
              field(kEdgesAfterF, 10) == (2 | 16) && field(kEdgesAfterF, 11) == (6 | 16));

template <u64 (*Turn)(u64), u64 (*Inverse)(u64)>
constexpr bool inverse_pair(u64 w) {
    return Inverse(Turn(w)) == w && Turn(Turn(Turn(Turn(w)))) == w;
}
static_assert(inverse_pair<corner_turns::r, corner_turns::r_prime>(Cube3x3::kSolvedCorners));
static_assert(inverse_pair<corner_turns::l, corner_turns::l_prime>(Cube3x3::kSolvedCorners));
static_assert(inverse_pair<corner_turns::f, corner_turns::f_prime>(Cube3x3::kSolvedCorners));
static_assert(inverse_pair<corner_turns::b, corner_turns::b_prime>(Cube3x3::kSolvedCorners));
static_assert(inverse_pair<edge_turns::f, edge_turns::f_prime>(Cube3x3::kSolvedEdges));
static_assert(inverse_pair<edge_turns::b, edge_turns::b_prime>(Cube3x3::kSolvedEdges));

} // namespace
} // namespace tessaroll
