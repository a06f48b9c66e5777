// The 3x3x3 cube as two packed words, and its twelve quarter turns.
//
// corners: slots 0..7 = ULB UBR URF UFL DLB DBR DFR DFL, bits 0..39.
// edges:   slots 0..11 = UB UR UF UL DB DR DF DL BL BR FR FL, bits 0..59.
// A slot holds the number of the piece that sits there (its home slot) and
// its orientation; see src/cube/slots.h for the field layout. Bits above the
// slots are never set by a turn and are carried through every turn unchanged.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "cube/slots.h"

namespace tessaroll {

// Corner-word turns, shared with the 2x2x2 model whose whole state is one such
// word. Each is one 4-cycle of slots followed by the twist change of the slots
// it filled: "+1" and "+2" units name the receiving slots.
namespace corner_turns {
using slots::cycle4;
using slots::kTwistUnit;
using slots::twist_add1;
using slots::twist_add2;
using slots::u64;

constexpr u64 u(u64 w) {
    return slots::layer_u(w);
}
constexpr u64 u_prime(u64 w) {
    return slots::layer_u_prime(w);
}
constexpr u64 d(u64 w) {
    return slots::layer_d(w);
}
constexpr u64 d_prime(u64 w) {
    return slots::layer_d_prime(w);
}
// R: 1<-2 +1, 2<-6 +2, 6<-5 +1, 5<-1 +2
constexpr u64 r(u64 w) {
    return twist_add2<kTwistUnit<2, 5>>(twist_add1<kTwistUnit<1, 6>>(cycle4<1, 2, 6, 5>(w)));
}
// R': 1<-5 +1, 5<-6 +2, 6<-2 +1, 2<-1 +2
constexpr u64 r_prime(u64 w) {
    return twist_add2<kTwistUnit<2, 5>>(twist_add1<kTwistUnit<1, 6>>(cycle4<1, 5, 6, 2>(w)));
}
// L: 0<-4 +2, 4<-7 +1, 7<-3 +2, 3<-0 +1
constexpr u64 l(u64 w) {
    return twist_add2<kTwistUnit<0, 7>>(twist_add1<kTwistUnit<3, 4>>(cycle4<0, 4, 7, 3>(w)));
}
// L': 0<-3 +2, 3<-7 +1, 7<-4 +2, 4<-0 +1
constexpr u64 l_prime(u64 w) {
    return twist_add2<kTwistUnit<0, 7>>(twist_add1<kTwistUnit<3, 4>>(cycle4<0, 3, 7, 4>(w)));
}
// F: 2<-3 +1, 3<-7 +2, 7<-6 +1, 6<-2 +2
constexpr u64 f(u64 w) {
    return twist_add2<kTwistUnit<3, 6>>(twist_add1<kTwistUnit<2, 7>>(cycle4<2, 3, 7, 6>(w)));
}
// F': 2<-6 +1, 6<-7 +2, 7<-3 +1, 3<-2 +2
constexpr u64 f_prime(u64 w) {
    return twist_add2<kTwistUnit<3, 6>>(twist_add1<kTwistUnit<2, 7>>(cycle4<2, 6, 7, 3>(w)));
}
// B: 0<-1 +1, 1<-5 +2, 5<-4 +1, 4<-0 +2
constexpr u64 b(u64 w) {
    return twist_add2<kTwistUnit<1, 4>>(twist_add1<kTwistUnit<0, 5>>(cycle4<0, 1, 5, 4>(w)));
}
// B': 0<-4 +1, 4<-5 +2, 5<-1 +1, 1<-0 +2
constexpr u64 b_prime(u64 w) {
    return twist_add2<kTwistUnit<1, 4>>(twist_add1<kTwistUnit<0, 5>>(cycle4<0, 4, 5, 1>(w)));
}
} // namespace corner_turns

// Edge-word turns other than U/D. Only F and B flip, by one XOR after the move.
namespace edge_turns {
using slots::cycle4;
using slots::u64;

inline constexpr u64 kFlipF = slots::kFlip<2, 6, 10, 11>; // 0x0840000400004000
inline constexpr u64 kFlipB = slots::kFlip<0, 4, 8, 9>;   // 0x0002100001000010
static_assert(kFlipF == 0x0840000400004000ULL && kFlipB == 0x0002100001000010ULL);

constexpr u64 r(u64 w) {
    return cycle4<1, 10, 5, 9>(w);
} // 1<-10, 10<-5, 5<-9, 9<-1
constexpr u64 r_prime(u64 w) {
    return cycle4<1, 9, 5, 10>(w);
} // 1<-9, 9<-5, 5<-10, 10<-1
constexpr u64 l(u64 w) {
    return cycle4<3, 8, 7, 11>(w);
} // 3<-8, 8<-7, 7<-11, 11<-3
constexpr u64 l_prime(u64 w) {
    return cycle4<3, 11, 7, 8>(w);
} // 3<-11, 11<-7, 7<-8, 8<-3
constexpr u64 f(u64 w) {
    return cycle4<2, 11, 6, 10>(w) ^ kFlipF;
} // 2<-11, 11<-6, 6<-10, 10<-2
constexpr u64 f_prime(u64 w) {
    return cycle4<2, 10, 6, 11>(w) ^ kFlipF;
} // 2<-10, 10<-6, 6<-11, 11<-2
constexpr u64 b(u64 w) {
    return cycle4<0, 9, 4, 8>(w) ^ kFlipB;
} // 0<-9, 9<-4, 4<-8, 8<-0
constexpr u64 b_prime(u64 w) {
    return cycle4<0, 8, 4, 9>(w) ^ kFlipB;
} // 0<-8, 8<-4, 4<-9, 9<-0
} // namespace edge_turns

// U, U', D and D' run the same formula on both words, as one 128-bit vector
// operation where the compiler has vector extensions (SSE2 on x86-64; without
// SSE2, e.g. plain i386, GCC and Clang lower the same code to scalar pairs).
#if defined(__GNUC__) || defined(__clang__)
#define TESSAROLL_HAVE_VECTOR_EXT 1
using WordPair = std::uint64_t __attribute__((vector_size(16)));
#endif

struct Cube3x3 {
    static constexpr std::uint64_t kSolvedCorners = 0x000000398A418820ULL;
    static constexpr std::uint64_t kSolvedEdges = 0x05A928398A418820ULL;
    static constexpr std::size_t sticker_dim = 54;

    std::uint64_t corners = kSolvedCorners;
    std::uint64_t edges = kSolvedEdges;

    constexpr bool is_solved() const noexcept {
        return corners == kSolvedCorners && edges == kSolvedEdges;
    }
    friend constexpr bool operator==(const Cube3x3&, const Cube3x3&) = default;

    void do_u_move_internal() noexcept {
        both_words([](auto w) { return slots::layer_u(w); });
    }
    void do_u_prime_move_internal() noexcept {
        both_words([](auto w) { return slots::layer_u_prime(w); });
    }
    void do_d_move_internal() noexcept {
        both_words([](auto w) { return slots::layer_d(w); });
    }
    void do_d_prime_move_internal() noexcept {
        both_words([](auto w) { return slots::layer_d_prime(w); });
    }
    void do_r_move_internal() noexcept { turn<corner_turns::r, edge_turns::r>(); }
    void do_r_prime_move_internal() noexcept { turn<corner_turns::r_prime, edge_turns::r_prime>(); }
    void do_l_move_internal() noexcept { turn<corner_turns::l, edge_turns::l>(); }
    void do_l_prime_move_internal() noexcept { turn<corner_turns::l_prime, edge_turns::l_prime>(); }
    void do_f_move_internal() noexcept { turn<corner_turns::f, edge_turns::f>(); }
    void do_f_prime_move_internal() noexcept { turn<corner_turns::f_prime, edge_turns::f_prime>(); }
    void do_b_move_internal() noexcept { turn<corner_turns::b, edge_turns::b>(); }
    void do_b_prime_move_internal() noexcept { turn<corner_turns::b_prime, edge_turns::b_prime>(); }

private:
    template <std::uint64_t (*Corner)(std::uint64_t), std::uint64_t (*Edge)(std::uint64_t)>
    void turn() noexcept {
        corners = Corner(corners);
        edges = Edge(edges);
    }

    template <class F>
    void both_words(F f) noexcept {
#ifdef TESSAROLL_HAVE_VECTOR_EXT
        WordPair v = {corners, edges};
        v = f(v);
        corners = v[0];
        edges = v[1];
#else
        corners = f(corners);
        edges = f(edges);
#endif
    }
};

static_assert(sizeof(Cube3x3) == 16, "a 3x3 state is two packed words, no padding");

} // namespace tessaroll
