// Raw views of a state word: its slots as (piece, orientation) pairs and the
// word as 64 binary digits. Fields are reported as they stand, unchecked.
#pragma once

#include "cube/slots.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace tessaroll::pieces {

struct PiecePair {
    std::uint8_t piece;
    std::uint8_t orientation;
};

// Slot k is bits 5k..5k+4 of a word: a 5-bit field, one of 32 values.
using slots::kFieldValues;

constexpr std::uint8_t slot_field(std::uint64_t word, std::size_t slot) noexcept {
    return static_cast<std::uint8_t>(slots::field(word, static_cast<unsigned>(slot)));
}

// A field holds the piece number in its low PieceBits bits and the
// orientation (corner twist: 2 bits, edge flip: 1 bit) in the rest.
template <unsigned PieceBits>
constexpr PiecePair field_pair(std::uint8_t field) noexcept {
    return {static_cast<std::uint8_t>(field & ((1u << PieceBits) - 1)),
            static_cast<std::uint8_t>(field >> PieceBits)};
}

inline constexpr unsigned kCornerPieceBits = 3; // 8 slots: piece 0..7, twist
inline constexpr unsigned kEdgePieceBits = 4;   // 12 slots: piece 0..11, flip
inline constexpr std::size_t kCornerSlots = 8;
inline constexpr std::size_t kEdgeSlots = 12;

template <std::size_t Slots, unsigned PieceBits>
constexpr std::array<PiecePair, Slots> slot_pairs(std::uint64_t word) noexcept {
    std::array<PiecePair, Slots> out{};
    for (std::size_t s = 0; s < Slots; ++s)
        out[s] = field_pair<PieceBits>(slot_field(word, s));
    return out;
}

constexpr auto corner_pairs(std::uint64_t word) noexcept {
    return slot_pairs<kCornerSlots, kCornerPieceBits>(word);
}
constexpr auto edge_pairs(std::uint64_t word) noexcept {
    return slot_pairs<kEdgeSlots, kEdgePieceBits>(word);
}

// The eight binary digits of every byte value, most significant first.
inline constexpr auto kByteDigits = [] {
    std::array<std::array<char, 8>, 256> table{};
    for (std::size_t b = 0; b < table.size(); ++b) {
        for (std::size_t i = 0; i < 8; ++i)
            table[b][i] = static_cast<char>('0' + ((b >> (7 - i)) & 1));
    }
    return table;
}();

// The word in base 2, most significant bit first, always 64 digits: digit
// 63 - n is bit n, so slot k sits at digits 59 - 5k .. 63 - 5k. Written a
// byte (eight digits) at a time.
constexpr std::array<char, 64> binary_digits(std::uint64_t word) noexcept {
    std::array<char, 64> out{};
    for (std::size_t byte = 0; byte < 8; ++byte) {
        const auto& digits = kByteDigits[(word >> (56 - 8 * byte)) & 0xFF];
        for (std::size_t i = 0; i < 8; ++i)
            out[8 * byte + i] = digits[i];
    }
    return out;
}

} // namespace tessaroll::pieces
