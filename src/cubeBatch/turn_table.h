// The twelve quarter turns, and the 144 ordered pairs of them, in one
// parameterised, branch-free form, for the batch scramble.
//
// A random move dispatched through the switch of apply_move_index_internal
// mispredicts almost every time; here a move index (or pair index) only
// selects a row of masks and rotation counts, and the same straight-line code
// runs for every row. A row permutes 5-bit slots of each state word and then
// changes the orientation of the receiving slots:
//
//   new = (w & keep) | sum over terms k of rotl(w, rot_k) & dest_k
//
// (rotating by 5 * (a - b) mod 64 brings source slot b to a; dest_k holds
// every receiving slot whose source lies at that same rotation, so one term
// serves several slots), then corner twists +1 / +2 on the receiving slots
// (the division-free formulas of cube/slots.h, both in one add) and edge
// flips by XOR. Pair rows halve the per-turn cost of selecting a row and of
// the keep / twist / flip steps. The rows are not written by hand: they are
// read off the model's own turns applied to its solved state, where slot k
// holds piece k unoriented, so "slot a now holds piece b with orientation o"
// is the row.
#pragma once

#include "cube/cube.h"
#include "cube2x2/utils.h"
#include "cube3x3/utils.h"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <tuple>
#include <utility>

namespace tessaroll::turn_table {

using u64 = std::uint64_t;

enum class WordKind { corners, edges };

// Orientation change of the receiving slots, by word kind.
template <WordKind K>
struct Orientation {
    u64 twist_add = 0;   // corner twist added per slot (1 or 2 at bit 5a+3)
    u64 twist_units = 0; // bit 5a+3 of every slot that gets a twist
    u64 twist_plus2 = 0; // bit 5a+3 of the slots that get +2
};
template <>
struct Orientation<WordKind::edges> {
    u64 flip = 0; // edge flip bits (bit 5a+4)
};

// One word's part of a row. Terms: how many (receiving slots, rotation)
// groups it can hold; slots that receive from the same rotation share one
// mask, which saves terms on composed moves.
template <WordKind K, std::size_t Terms>
struct WordTurn : Orientation<K> {
    u64 keep = ~u64{0};
    std::array<u64, Terms> dest{};         // receiving slot masks (0: unused entry)
    std::array<std::uint8_t, Terms> rot{}; // left rotation bringing their sources
};

// Twists are added by slots::add_twists, +1 and +2 slots at once.
template <WordKind K, std::size_t Terms>
inline u64 turn_word(u64 w, const WordTurn<K, Terms>& t) noexcept {
    u64 r = w & t.keep;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        ((r |= std::rotl(w, static_cast<int>(t.rot[I])) & t.dest[I]), ...);
    }
    (std::make_index_sequence<Terms>{});
    if constexpr (K == WordKind::corners) {
        r = slots::add_twists(r, t.twist_units, t.twist_plus2, t.twist_add);
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
    static constexpr u64& word(Cube2x2& c, std::size_t) noexcept { return c.state; }
};

template <>
struct Layout<Cube3x3> {
    static constexpr std::size_t words = 2;
    static constexpr std::array<WordKind, 2> kinds{WordKind::corners, WordKind::edges};
    static constexpr std::array<unsigned, 2> slots{8, 12};
    static constexpr u64& word(Cube3x3& c, std::size_t i) noexcept {
        return i == 0 ? c.corners : c.edges;
    }
};

// Terms per word for rows of one or two quarter turns. A single quarter turn
// is one 4-cycle per word. Two in a row move at most 8 slots of a word
// (corners: 8 in all; edges: two 4-cycles); grouped by rotation they need at
// most 6 corner masks and 8 edge masks (the tests check every row).
constexpr std::size_t terms(WordKind kind, std::size_t moves) {
    if (moves == 1) return 4;
    return kind == WordKind::corners ? 6 : 8;
}

template <class C, std::size_t Moves, class = std::make_index_sequence<Layout<C>::words>>
struct RowOf;
template <class C, std::size_t Moves, std::size_t... I>
struct RowOf<C, Moves, std::index_sequence<I...>> {
    using type = std::tuple<WordTurn<Layout<C>::kinds[I], terms(Layout<C>::kinds[I], Moves)>...>;
};
template <class C, std::size_t Moves>
using Row = typename RowOf<C, Moves>::type;
template <class C>
using MoveRow = Row<C, 1>;
template <class C>
using PairRow = Row<C, 2>;

// One word's part of the row taking the solved word to `w`: slot a holding
// piece b with orientation o receives from slot b and gains o.
//
// Rows are derived at compile time: a row whose slots fall into more
// rotation groups than it has terms stops the build here.
template <WordKind K, std::size_t Terms>
constexpr void word_turn_from(u64 w, unsigned slot_count, WordTurn<K, Terms>& t) {
    constexpr bool corners = K == WordKind::corners;
    std::size_t used = 0;
    for (unsigned a = 0; a < slot_count; ++a) {
        const u64 field = slots::field(w, a);
        const unsigned b = static_cast<unsigned>(field & (corners ? 0x7 : 0xF));
        const unsigned o = static_cast<unsigned>(corners ? field >> 3 : field >> 4);
        if (b == a && o == 0) continue;
        const u64 slot = slots::slot_mask(a);
        const auto rot = static_cast<std::uint8_t>((5 * (64 + a - b)) % 64);
        std::size_t k = 0;
        while (k < used && t.rot[k] != rot)
            ++k;
        if (k == Terms) throw "a turn row needs more rotation groups than its terms hold";
        if (k == used) {
            t.rot[k] = rot;
            ++used;
        }
        t.keep &= ~slot;
        t.dest[k] |= slot;
        if constexpr (corners) {
            const u64 unit = u64{1} << (5 * a + 3);
            if (o != 0) {
                t.twist_add += o * unit;
                t.twist_units |= unit;
                if (o == 2) t.twist_plus2 |= unit;
            }
        } else {
            if (o == 1) t.flip |= u64{1} << (5 * a + 4);
        }
    }
}

template <std::size_t Moves, class C>
constexpr Row<C, Moves> row_from(C turned) {
    using L = Layout<C>;
    Row<C, Moves> row{};
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (word_turn_from(L::word(turned, I), L::slots[I], std::get<I>(row)), ...);
    }
    (std::make_index_sequence<L::words>{});
    return row;
}

// Row for every move index 0..11, read off apply_move_index_internal.
template <class C>
constexpr std::array<MoveRow<C>, kMoveCount> derive() {
    std::array<MoveRow<C>, kMoveCount> table{};
    for (std::size_t m = 0; m < kMoveCount; ++m) {
        C turned{};
        apply_move_index_internal(turned, m);
        table[m] = row_from<1>(turned);
    }
    return table;
}

// Row 12 * m1 + m2 for every pair: m1, then m2.
template <class C>
constexpr std::array<PairRow<C>, kMoveCount * kMoveCount> derive_pairs() {
    std::array<PairRow<C>, kMoveCount * kMoveCount> table{};
    for (std::size_t m1 = 0; m1 < kMoveCount; ++m1) {
        for (std::size_t m2 = 0; m2 < kMoveCount; ++m2) {
            C turned{};
            apply_move_index_internal(turned, m1);
            apply_move_index_internal(turned, m2);
            table[kMoveCount * m1 + m2] = row_from<2>(turned);
        }
    }
    return table;
}

template <class C>
inline constexpr auto kRows = derive<C>();
template <class C>
inline constexpr auto kPairRows = derive_pairs<C>();

template <class C>
constexpr const std::array<MoveRow<C>, kMoveCount>& table() noexcept {
    return kRows<C>;
}

template <class C>
constexpr const std::array<PairRow<C>, kMoveCount * kMoveCount>& pair_table() noexcept {
    return kPairRows<C>;
}

// Apply one row (one move or one pair) to a cube.
template <class C, class R>
inline void apply(C& cube, const R& row) noexcept {
    using L = Layout<C>;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        ((L::word(cube, I) = turn_word(L::word(cube, I), std::get<I>(row))), ...);
    }
    (std::make_index_sequence<L::words>{});
}

} // namespace tessaroll::turn_table
