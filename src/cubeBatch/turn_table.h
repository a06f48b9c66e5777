// The twelve quarter turns in one parameterised, branch-free form, for the
// batch scramble.
//
// A random move dispatched through the switch of apply_move_index_internal
// mispredicts almost every time; here a move index only selects a row of
// masks and rotation counts, and the same straight-line code runs for every
// move. Every turn is, on each state word, one 4-cycle of 5-bit slots plus
// an orientation change of the receiving slots:
//
//   new = (w & keep) | sum over the 4 receiving slots a of rotl(w, rot_a) & slot(a)
//
// (rotating by 5 * (a - b) mod 64 brings source slot b to a; the bits that
// wrap around never reach a slot below 60), then corner twists +1 / +2 on
// the receiving slots (the division-free formulas of cube/slots.h, both in
// one add) and edge flips by XOR. The rows are not written by hand: they are read off the
// model's own turns applied to its solved state, where slot k holds piece k
// unoriented, so "slot a now holds piece b with orientation o" is the row.
#pragma once

#include "cube/cube.h"
#include "cube2x2/utils.h"
#include "cube3x3/utils.h"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace tessaroll::turn_table {

using u64 = std::uint64_t;

enum class WordKind { corners, edges };

struct WordTurn {
    u64 keep = ~u64{0};
    std::array<u64, 4> dest{};     // receiving slot masks (0: unused entry)
    std::array<unsigned, 4> rot{}; // left rotation bringing each one's source
    u64 twist_add = 0;             // corner twist added per slot (1 or 2 at bit 5a+3)
    u64 twist_units = 0;           // bit 5a+3 of every slot that gets a twist
    u64 twist_plus2 = 0;           // bit 5a+3 of the slots that get +2
    u64 flip = 0;                  // edge flip bits (bit 5a+4)
};

// Per twisted slot with twist t (high bit h, low bit l) and added d:
//   d = 1: t + 1 - 3h          d = 2: t + 2 - 3(h | l)
// (the formulas of cube/slots.h, both applied at once; every field's result
// lies in 0..3, so the word-wide add and subtract stay exact).
template <WordKind K>
inline u64 turn_word(u64 w, const WordTurn& t) noexcept {
    u64 r = (w & t.keep) | (std::rotl(w, static_cast<int>(t.rot[0])) & t.dest[0]) |
            (std::rotl(w, static_cast<int>(t.rot[1])) & t.dest[1]) |
            (std::rotl(w, static_cast<int>(t.rot[2])) & t.dest[2]) |
            (std::rotl(w, static_cast<int>(t.rot[3])) & t.dest[3]);
    if constexpr (K == WordKind::corners) {
        const u64 wraps = ((r >> 1) & t.twist_units) | (r & t.twist_plus2);
        r = r + t.twist_add - 3 * wraps;
    } else {
        r ^= t.flip;
    }
    return r;
}

// How a model's state words are laid out.
template <class C>
struct Layout;

template <>
struct Layout<Cube2x2> {
    static constexpr std::size_t words = 1;
    static constexpr std::array<WordKind, 1> kinds{WordKind::corners};
    static constexpr std::array<unsigned, 1> slots{8};
    static u64& word(Cube2x2& c, std::size_t) noexcept { return c.state; }
};

template <>
struct Layout<Cube3x3> {
    static constexpr std::size_t words = 2;
    static constexpr std::array<WordKind, 2> kinds{WordKind::corners, WordKind::edges};
    static constexpr std::array<unsigned, 2> slots{8, 12};
    static u64& word(Cube3x3& c, std::size_t i) noexcept { return i == 0 ? c.corners : c.edges; }
};

template <class C>
using MoveRow = std::array<WordTurn, Layout<C>::words>;

// Row for every move index 0..11, read off apply_move_index_internal.
template <class C>
std::array<MoveRow<C>, kMoveCount> derive() noexcept {
    using L = Layout<C>;
    std::array<MoveRow<C>, kMoveCount> table{};
    for (std::size_t m = 0; m < kMoveCount; ++m) {
        C turned{};
        apply_move_index_internal(turned, m);
        for (std::size_t i = 0; i < L::words; ++i) {
            const bool corners = L::kinds[i] == WordKind::corners;
            const u64 w = L::word(turned, i);
            WordTurn& t = table[m][i];
            std::size_t used = 0;
            for (unsigned a = 0; a < L::slots[i]; ++a) {
                const u64 field = (w >> (5 * a)) & 0x1F;
                const unsigned b = static_cast<unsigned>(field & (corners ? 0x7 : 0xF));
                const unsigned o = static_cast<unsigned>(corners ? field >> 3 : field >> 4);
                if (b == a && o == 0) continue;
                if (used == 4) continue; // a quarter turn is a 4-cycle; tests check the rows
                const u64 slot = u64{0x1F} << (5 * a);
                t.keep &= ~slot;
                t.dest[used] = slot;
                t.rot[used] = (5 * (64 + a - b)) % 64;
                ++used;
                const u64 unit = u64{1} << (5 * a + 3);
                if (corners && o != 0) {
                    t.twist_add += o * unit;
                    t.twist_units |= unit;
                    if (o == 2) t.twist_plus2 |= unit;
                }
                if (!corners && o == 1) t.flip |= u64{1} << (5 * a + 4);
            }
        }
    }
    return table;
}

template <class C>
const std::array<MoveRow<C>, kMoveCount>& table() noexcept {
    static const auto rows = derive<C>();
    return rows;
}

// Apply one row (one move) to a cube.
template <class C>
inline void apply(C& cube, const MoveRow<C>& row) noexcept {
    using L = Layout<C>;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        ((L::word(cube, I) = turn_word<L::kinds[I]>(L::word(cube, I), row[I])), ...);
    }
    (std::make_index_sequence<L::words>{});
}

} // namespace tessaroll::turn_table
