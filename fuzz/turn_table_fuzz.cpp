// Pair rows and single rows of the batch scramble, in a fuzzer-chosen order
// from the solved state: after every row the state equals the one the switch
// dispatch gives for the same moves, and it is still a cube: each piece in
// exactly one slot, corner twists 0..2 summing to a multiple of 3, edge flips
// summing to an even number, equal corner and edge permutation parities
// (3x3), and every bit above the slots zero.
#include "check.h"
#include "cubeBatch/turn_table.h"

#include <cstddef>
#include <cstdint>

namespace {

using namespace tessaroll;
using turn_table::u64;

// Checks one word of `slots` slots with `piece_bits`-bit piece numbers and
// returns its permutation parity.
unsigned check_word(u64 w, unsigned slots, unsigned piece_bits) {
    FUZZ_CHECK(w >> (5 * slots) == 0);
    unsigned seen = 0, orientation_sum = 0, parity = 0;
    unsigned pieces[12];
    for (unsigned a = 0; a < slots; ++a) {
        const unsigned field = static_cast<unsigned>(w >> (5 * a)) & 0x1F;
        const unsigned piece = field & ((1u << piece_bits) - 1);
        const unsigned orientation = field >> piece_bits;
        FUZZ_CHECK(piece < slots && !(seen >> piece & 1));
        FUZZ_CHECK(orientation < (piece_bits == 3 ? 3u : 2u));
        seen |= 1u << piece;
        orientation_sum += orientation;
        pieces[a] = piece;
        for (unsigned b = 0; b < a; ++b)
            parity ^= pieces[b] > piece;
    }
    FUZZ_CHECK(orientation_sum % (piece_bits == 3 ? 3 : 2) == 0);
    return parity;
}

void check_cube(const Cube2x2& c) {
    check_word(c.state, 8, 3);
}
void check_cube(const Cube3x3& c) {
    FUZZ_CHECK(check_word(c.corners, 8, 3) == check_word(c.edges, 12, 4));
}

template <class C>
void run(const std::uint8_t* data, std::size_t size) {
    const auto& pairs = turn_table::pair_table<C>();
    const auto& singles = turn_table::table<C>();
    C cube{}, expected{};
    for (std::size_t i = 0; i < size; ++i) {
        const unsigned b = data[i];
        if (b < kMoveCount * kMoveCount) {
            turn_table::apply(cube, pairs[b]);
            apply_move_index_internal(expected, b / kMoveCount);
            apply_move_index_internal(expected, b % kMoveCount);
        } else {
            const unsigned m = (b - kMoveCount * kMoveCount) % kMoveCount;
            turn_table::apply(cube, singles[m]);
            apply_move_index_internal(expected, m);
        }
        FUZZ_CHECK(cube == expected);
        check_cube(cube);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    if (data[0] & 1) {
        run<Cube3x3>(data + 1, size - 1);
    } else {
        run<Cube2x2>(data + 1, size - 1);
    }
    return 0;
}
