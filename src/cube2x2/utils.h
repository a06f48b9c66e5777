// The 2x2x2 cube: one word laid out exactly like the 3x3x3 corner word, turned
// by the same corner formulas. The slot frame stays fixed to the six face
// directions, so a whole-cube rotation of the solved state is not solved.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cube3x3/utils.h"

namespace tessaroll {

struct Cube2x2 {
    static constexpr std::uint64_t kSolved = Cube3x3::kSolvedCorners;
    static constexpr std::size_t sticker_dim = 24;

    std::uint64_t state = kSolved;

    constexpr bool is_solved() const noexcept { return state == kSolved; }
    friend constexpr bool operator==(const Cube2x2&, const Cube2x2&) = default;

    void do_u_move_internal() noexcept { state = corner_turns::u(state); }
    void do_u_prime_move_internal() noexcept { state = corner_turns::u_prime(state); }
    void do_d_move_internal() noexcept { state = corner_turns::d(state); }
    void do_d_prime_move_internal() noexcept { state = corner_turns::d_prime(state); }
    void do_r_move_internal() noexcept { state = corner_turns::r(state); }
    void do_r_prime_move_internal() noexcept { state = corner_turns::r_prime(state); }
    void do_l_move_internal() noexcept { state = corner_turns::l(state); }
    void do_l_prime_move_internal() noexcept { state = corner_turns::l_prime(state); }
    void do_f_move_internal() noexcept { state = corner_turns::f(state); }
    void do_f_prime_move_internal() noexcept { state = corner_turns::f_prime(state); }
    void do_b_move_internal() noexcept { state = corner_turns::b(state); }
    void do_b_prime_move_internal() noexcept { state = corner_turns::b_prime(state); }
};

static_assert(sizeof(Cube2x2) == 8, "a 2x2 state is one packed word");

} // namespace tessaroll
