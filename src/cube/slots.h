// Bit-level building blocks shared by both cube models.
//
// A state word is a row of 5-bit slots, slot k in bits 5k..5k+4. Corner slots
// hold a 3-bit piece number and a 2-bit twist (bits 5k+3..5k+4); edge slots a
// 4-bit piece number and a 1-bit flip (bit 5k+4). Every face turn permutes four
// slots of each word in one 4-cycle and adjusts orientations of the moved
// slots, so everything here is expressed as masks and constant shifts that the
// compiler folds into straight-line code: no tables, no loops, no branches.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessaroll::slots {

using u64 = std::uint64_t;

inline constexpr unsigned kSlotBits = 5;
inline constexpr u64 kSlotField = 0x1F;
// Every value a slot field can hold.
inline constexpr std::size_t kFieldValues = kSlotField + 1;

constexpr u64 slot_mask(unsigned k) {
    return kSlotField << (kSlotBits * k);
}

// The 5-bit field of slot k, in the low bits.
constexpr u64 field(u64 w, unsigned k) {
    return (w >> (kSlotBits * k)) & kSlotField;
}

template <unsigned... K>
inline constexpr u64 kSlots = (u64{0} | ... | slot_mask(K));

// Low twist bit (bit 5k+3) of each listed corner slot; used as "+1" per slot.
template <unsigned... K>
inline constexpr u64 kTwistUnit = (u64{0} | ... | (u64{1} << (kSlotBits * K + 3)));

// Flip bit (bit 5k+4) of each listed edge slot.
template <unsigned... K>
inline constexpr u64 kFlip = (u64{0} | ... | (u64{1} << (kSlotBits * K + 4)));

// The content of slot From, moved to slot To and isolated there.
template <unsigned From, unsigned To>
constexpr u64 slot_move(u64 w) {
    if constexpr (To >= From) {
        return (w << (kSlotBits * (To - From))) & slot_mask(To);
    } else {
        return (w >> (kSlotBits * (From - To))) & slot_mask(To);
    }
}

// The 4-cycle A <- B <- C <- D <- A ("new A is old B", ...). Bits outside the
// four slots, including the unused high bits, pass through untouched.
template <unsigned A, unsigned B, unsigned C, unsigned D>
constexpr u64 cycle4(u64 w) {
    return (w & ~kSlots<A, B, C, D>) | slot_move<B, A>(w) | slot_move<C, B>(w) |
           slot_move<D, C>(w) | slot_move<A, D>(w);
}

// Twist arithmetic on 2-bit fields, done in parallel without division. Each
// mask holds one bit 5k+3 (the low twist bit) per slot: `units` for every
// slot that turns, `plus2` for those that get +2; `add` is what is added, the
// unit bit once per +1 slot and twice per +2 slot. With h and l the high and
// low twist bits of t:
//   +1: t >= 2 ? t - 2 : t + 1   ==  t + 1 - 3*h
//   +2: t == 0 ? 2 : t - 1       ==  t + 2 - 3*(h | l)
// Each field's result lies in 0..3, so the word-wide add and subtract cannot
// carry or borrow into a neighbouring field: the sum of the per-field deltas is
// exact even though intermediate values may carry.
constexpr u64 add_twists(u64 w, u64 units, u64 plus2, u64 add) {
    const u64 wraps = ((w >> 1) & units) | (w & plus2);
    return w + add - 3 * wraps;
}

template <u64 Unit>
constexpr u64 twist_add1(u64 w) {
    return add_twists(w, Unit, 0, Unit);
}

template <u64 Unit>
constexpr u64 twist_add2(u64 w) {
    return add_twists(w, Unit, Unit, Unit << 1);
}

// U, U', D and D' act alike on corner and edge words (the U and D layers are
// slots 0..3 and 4..7 in both), so these formulas are written once over any
// word-like type W: a plain u64 or a 128-bit vector holding both 3x3 words.
template <class W>
constexpr W layer_u(W w) {
    return (w & 0xFFFFFFFFFFF00000ULL) | ((w >> 15) & 0x1FULL) | ((w << 5) & 0xFFFE0ULL);
}

template <class W>
constexpr W layer_u_prime(W w) {
    return (w & 0xFFFFFFFFFFF00000ULL) | ((w >> 5) & 0x7FFFULL) | ((w << 15) & 0xF8000ULL);
}

template <class W>
constexpr W layer_d(W w) {
    const W x = w & 0xFFFFF00000ULL;
    return (((x << 15) | (x >> 5)) & 0xFFFFF00000ULL) | (w & 0xFFFFFF00000FFFFFULL);
}

template <class W>
constexpr W layer_d_prime(W w) {
    const W x = w & 0xFFFFF00000ULL;
    return (((x >> 15) | (x << 5)) & 0xFFFFF00000ULL) | (w & 0xFFFFFF00000FFFFFULL);
}

} // namespace tessaroll::slots
