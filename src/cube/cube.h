// The interface both cube models implement, and the generic routines written
// once over it.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tessaroll {

template <class C>
concept Cube = std::semiregular<C> && requires(C& c, const C& cc, std::int64_t* out) {
    { cc.is_solved() } -> std::same_as<bool>;
    { C::sticker_dim } -> std::convertible_to<std::size_t>;
    // Sticker colour codes, face by face (cube/stickers.h): as a new vector of
    // sticker_dim elements, or written straight into sticker_dim slots of out.
    { cc.sticker_array_internal() } -> std::same_as<std::vector<std::int64_t>>;
    { cc.write_stickers_internal(out) } -> std::same_as<void>;
    requires noexcept(cc.write_stickers_internal(out)); // runs on worker threads
    // The coloured net for an ANSI terminal.
    { cc.render_ansi_internal() } -> std::same_as<std::string>;
    c.do_u_move_internal();
    c.do_u_prime_move_internal();
    c.do_d_move_internal();
    c.do_d_prime_move_internal();
    c.do_r_move_internal();
    c.do_r_prime_move_internal();
    c.do_l_move_internal();
    c.do_l_prime_move_internal();
    c.do_f_move_internal();
    c.do_f_prime_move_internal();
    c.do_b_move_internal();
    c.do_b_prime_move_internal();
};

// Move index i in 0..11 is U U' D D' R R' L L' F F' B B'; i ^ 1 is the inverse.
// Anything above 11 is a no-op, so callers may pass unchecked user indexes.
inline constexpr std::size_t kMoveCount = 12;

template <Cube C>
constexpr void apply_move_index_internal(C& c, std::size_t index) noexcept {
    switch (index) {
    case 0: c.do_u_move_internal(); break;
    case 1: c.do_u_prime_move_internal(); break;
    case 2: c.do_d_move_internal(); break;
    case 3: c.do_d_prime_move_internal(); break;
    case 4: c.do_r_move_internal(); break;
    case 5: c.do_r_prime_move_internal(); break;
    case 6: c.do_l_move_internal(); break;
    case 7: c.do_l_prime_move_internal(); break;
    case 8: c.do_f_move_internal(); break;
    case 9: c.do_f_prime_move_internal(); break;
    case 10: c.do_b_move_internal(); break;
    case 11: c.do_b_prime_move_internal(); break;
    default: break;
    }
}

} // namespace tessaroll
