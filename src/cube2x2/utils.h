// The 2x2x2 cube: one word laid out exactly like the 3x3x3 corner word, turned
// by the same corner formulas. The slot frame stays fixed to the six face
// directions, so a whole-cube rotation of the solved state is not solved.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "cube/corner_turns.h"
#include "cube/stickers.h"

namespace tessaroll {

// Sticker index of every facelet: index = 4 * face + 2 * row + column, faces
// U R F D L B. A 2x2 face keeps the four corner stickers of a 3x3 face in
// their order (3x3 positions 1, 3, 7, 9 become 1, 2, 3, 4).
namespace stickers2x2 {
inline constexpr stickers::FaceletTable<8, 3> kCornerFacelets{{
    {0, 21, 16},  // ULB: U1 B2 L1
    {1, 5, 20},   // UBR: U2 R2 B1
    {3, 9, 4},    // URF: U4 F2 R1
    {2, 17, 8},   // UFL: U3 L2 F1
    {14, 18, 23}, // DLB: D3 L3 B4
    {15, 22, 7},  // DBR: D4 B3 R4
    {13, 6, 11},  // DFR: D2 R3 F4
    {12, 10, 19}, // DFL: D1 F3 L4
}};
} // namespace stickers2x2

struct Cube2x2 : stickers::StickerForms<Cube2x2> {
    static constexpr std::uint64_t kSolved = corner_turns::kSolved;
    static constexpr std::size_t sticker_dim = 24;

    std::uint64_t state = kSolved;

    constexpr bool is_solved() const noexcept { return state == kSolved; }

    // The sticker projection: writes the colour codes of the 24 stickers
    // (layout in cube/stickers.h) to out[0..23]. Bits above the slots are
    // never read. Every other form of it comes from stickers::StickerForms.
    template <class Out>
    constexpr void write_stickers_internal(Out* out) const noexcept {
        stickers::write_word<stickers2x2::kCornerFacelets, stickers::kCornerColoursByField>(state,
                                                                                            out);
    }

    // The coloured net for an ANSI terminal (cube2x2/render.cpp).
    std::string render_ansi_internal() const;
    friend constexpr bool operator==(const Cube2x2&, const Cube2x2&) = default;

    constexpr void do_u_move_internal() noexcept { state = corner_turns::u(state); }
    constexpr void do_u_prime_move_internal() noexcept { state = corner_turns::u_prime(state); }
    constexpr void do_d_move_internal() noexcept { state = corner_turns::d(state); }
    constexpr void do_d_prime_move_internal() noexcept { state = corner_turns::d_prime(state); }
    constexpr void do_r_move_internal() noexcept { state = corner_turns::r(state); }
    constexpr void do_r_prime_move_internal() noexcept { state = corner_turns::r_prime(state); }
    constexpr void do_l_move_internal() noexcept { state = corner_turns::l(state); }
    constexpr void do_l_prime_move_internal() noexcept { state = corner_turns::l_prime(state); }
    constexpr void do_f_move_internal() noexcept { state = corner_turns::f(state); }
    constexpr void do_f_prime_move_internal() noexcept { state = corner_turns::f_prime(state); }
    constexpr void do_b_move_internal() noexcept { state = corner_turns::b(state); }
    constexpr void do_b_prime_move_internal() noexcept { state = corner_turns::b_prime(state); }
};

static_assert(sizeof(Cube2x2) == 8, "a 2x2 state is one packed word");

} // namespace tessaroll
