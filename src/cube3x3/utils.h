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
#include <string>
#include <type_traits>

#include "cube/corner_turns.h"
#include "cube/slots.h"
#include "cube/stickers.h"
#include "cube/vector128.h"

namespace tessaroll {

// Edge-word turns other than U/D. Only F and B flip, by one XOR after the move.
namespace edge_turns {
using slots::cycle4;
using slots::u64;

inline constexpr u64 kFlipF = slots::kFlip<2, 6, 10, 11>; // 0x0840000400004000
inline constexpr u64 kFlipB = slots::kFlip<0, 4, 8, 9>;   // 0x0002100001000010
static_assert(kFlipF == 0x0840000400004000ULL && kFlipB == 0x0002100001000010ULL);

// 1<-10, 10<-5, 5<-9, 9<-1
constexpr u64 r(u64 w) {
    return cycle4<1, 10, 5, 9>(w);
}
// 1<-9, 9<-5, 5<-10, 10<-1
constexpr u64 r_prime(u64 w) {
    return cycle4<1, 9, 5, 10>(w);
}
// 3<-8, 8<-7, 7<-11, 11<-3
constexpr u64 l(u64 w) {
    return cycle4<3, 8, 7, 11>(w);
}
// 3<-11, 11<-7, 7<-8, 8<-3
constexpr u64 l_prime(u64 w) {
    return cycle4<3, 11, 7, 8>(w);
}
// 2<-11, 11<-6, 6<-10, 10<-2
constexpr u64 f(u64 w) {
    return cycle4<2, 11, 6, 10>(w) ^ kFlipF;
}
// 2<-10, 10<-6, 6<-11, 11<-2
constexpr u64 f_prime(u64 w) {
    return cycle4<2, 10, 6, 11>(w) ^ kFlipF;
}
// 0<-9, 9<-4, 4<-8, 8<-0
constexpr u64 b(u64 w) {
    return cycle4<0, 9, 4, 8>(w) ^ kFlipB;
}
// 0<-8, 8<-4, 4<-9, 9<-0
constexpr u64 b_prime(u64 w) {
    return cycle4<0, 8, 4, 9>(w) ^ kFlipB;
}
} // namespace edge_turns

// Sticker index of every facelet (see cube/stickers.h for the numbering):
// index = 9 * face + 3 * row + column, faces U R F D L B.
namespace stickers3x3 {
using stickers::FaceletTable;

inline constexpr FaceletTable<8, 3> kCornerFacelets{{
    {0, 47, 36},  // ULB: U1 B3 L1
    {2, 11, 45},  // UBR: U3 R3 B1
    {8, 20, 9},   // URF: U9 F3 R1
    {6, 38, 18},  // UFL: U7 L3 F1
    {33, 42, 53}, // DLB: D7 L7 B9
    {35, 51, 17}, // DBR: D9 B7 R9
    {29, 15, 26}, // DFR: D3 R7 F9
    {27, 24, 44}, // DFL: D1 F7 L9
}};

inline constexpr FaceletTable<12, 2> kEdgeFacelets{{
    {1, 46},  // UB: U2 B2
    {5, 10},  // UR: U6 R2
    {7, 19},  // UF: U8 F2
    {3, 37},  // UL: U4 L2
    {34, 52}, // DB: D8 B8
    {32, 16}, // DR: D6 R8
    {28, 25}, // DF: D2 F8
    {30, 43}, // DL: D4 L8
    {50, 39}, // BL: B6 L4
    {48, 14}, // BR: B4 R6
    {23, 12}, // FR: F6 R4
    {21, 41}, // FL: F4 L6
}};

// Centres never move: face k always shows colour k at its middle.
constexpr std::size_t centre(std::size_t face) {
    return 9 * face + 4;
}
} // namespace stickers3x3

struct Cube3x3 : stickers::StickerForms<Cube3x3> {
    static constexpr std::uint64_t kSolvedCorners = corner_turns::kSolved;
    static constexpr std::uint64_t kSolvedEdges = 0x05A928398A418820ULL;
    static constexpr std::size_t sticker_dim = 54;

    std::uint64_t corners = kSolvedCorners;
    std::uint64_t edges = kSolvedEdges;

    constexpr bool is_solved() const noexcept {
        return corners == kSolvedCorners && edges == kSolvedEdges;
    }

    // The sticker projection: writes the colour codes of the 54 stickers
    // (layout in cube/stickers.h) to out[0..53]. Bits above the slots are
    // never read. Every other form of it comes from stickers::StickerForms.
    template <class Out>
    constexpr void write_stickers_internal(Out* out) const noexcept {
        for (std::size_t face = 0; face < stickers::kFaceCount; ++face) {
            out[stickers3x3::centre(face)] = static_cast<Out>(face);
        }
        stickers::write_word<stickers3x3::kCornerFacelets, stickers::kCornerColoursByField>(corners,
                                                                                            out);
        stickers::write_word<stickers3x3::kEdgeFacelets, stickers::kEdgeColoursByField>(edges, out);
    }

    // The coloured net for an ANSI terminal (cube3x3/render.cpp).
    std::string render_ansi_internal() const;
    friend constexpr bool operator==(const Cube3x3&, const Cube3x3&) = default;

    constexpr void do_u_move_internal() noexcept {
        both_words([](auto w) { return slots::layer_u(w); });
    }
    constexpr void do_u_prime_move_internal() noexcept {
        both_words([](auto w) { return slots::layer_u_prime(w); });
    }
    constexpr void do_d_move_internal() noexcept {
        both_words([](auto w) { return slots::layer_d(w); });
    }
    constexpr void do_d_prime_move_internal() noexcept {
        both_words([](auto w) { return slots::layer_d_prime(w); });
    }
    constexpr void do_r_move_internal() noexcept { turn<corner_turns::r, edge_turns::r>(); }
    constexpr void do_r_prime_move_internal() noexcept {
        turn<corner_turns::r_prime, edge_turns::r_prime>();
    }
    constexpr void do_l_move_internal() noexcept { turn<corner_turns::l, edge_turns::l>(); }
    constexpr void do_l_prime_move_internal() noexcept {
        turn<corner_turns::l_prime, edge_turns::l_prime>();
    }
    constexpr void do_f_move_internal() noexcept { turn<corner_turns::f, edge_turns::f>(); }
    constexpr void do_f_prime_move_internal() noexcept {
        turn<corner_turns::f_prime, edge_turns::f_prime>();
    }
    constexpr void do_b_move_internal() noexcept { turn<corner_turns::b, edge_turns::b>(); }
    constexpr void do_b_prime_move_internal() noexcept {
        turn<corner_turns::b_prime, edge_turns::b_prime>();
    }

private:
    template <std::uint64_t (*Corner)(std::uint64_t), std::uint64_t (*Edge)(std::uint64_t)>
    constexpr void turn() noexcept {
        corners = Corner(corners);
        edges = Edge(edges);
    }

    // U, U', D and D' run the same formula on both words: one 128-bit vector
    // operation where the target has such vectors (cube/vector128.h), two
    // scalar calls elsewhere and in constant evaluation (the batch turn
    // tables).
    template <class F>
    constexpr void both_words(F f) noexcept {
#ifdef TESSAROLL_HAVE_VECTOR128
        if (!std::is_constant_evaluated()) {
            vector128::U64x2 v = {corners, edges};
            v = f(v);
            corners = v[0];
            edges = v[1];
            return;
        }
#endif
        corners = f(corners);
        edges = f(edges);
    }
};

static_assert(sizeof(Cube3x3) == 16, "a 3x3 state is two packed words, no padding");

} // namespace tessaroll
