// Raw views of a state word: its slots as (piece, orientation) pairs and the
// word as 64 binary digits. Fields are reported as they stand, unchecked.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace tessaroll::pieces {

struct PiecePair {
    std::uint8_t piece;
    std::uint8_t orientation;
};

// Slot k is bits 5k..5k+4: the piece number in the low PieceBits bits, the
// orientation (corner twist: 2 bits, edge flip: 1 bit) in the rest.
template <std::size_t Slots, unsigned PieceBits>
constexpr std::array<PiecePair, Slots> slot_pairs(std::uint64_t word) noexcept {
    std::array<PiecePair, Slots> out{};
    for (std::size_t s = 0; s < Slots; ++s) {
        const auto field = static_cast<std::uint8_t>((word >> (5 * s)) & 0x1F);
        out[s] = {static_cast<std::uint8_t>(field & ((1u << PieceBits) - 1)),
                  static_cast<std::uint8_t>(field >> PieceBits)};
    }
    return out;
}

// 8 pairs (piece 0..7, twist); 12 pairs (piece 0..11, flip).
constexpr auto corner_pairs(std::uint64_t word) noexcept {
    return slot_pairs<8, 3>(word);
}
constexpr auto edge_pairs(std::uint64_t word) noexcept {
    return slot_pairs<12, 4>(word);
}

// The word in base 2, most significant bit first, always 64 digits: digit
// 63 - n is bit n, so slot k sits at digits 59 - 5k .. 63 - 5k.
constexpr std::array<char, 64> binary_digits(std::uint64_t word) noexcept {
    std::array<char, 64> out{};
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<char>('0' + ((word >> (63 - i)) & 1));
    }
    return out;
}

} // namespace tessaroll::pieces
