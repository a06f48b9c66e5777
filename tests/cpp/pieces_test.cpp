// Raw views of a state word against their definitions: every 5-bit field
// value as a (piece, orientation) pair, and the binary digits against
// std::bitset.
#include "cube/pieces.h"

#include <bitset>
#include <cstdint>
#include <random>
#include <string>

#include <gtest/gtest.h>

namespace tessaroll::pieces {
namespace {

TEST(Pieces, EveryFieldValueMapsToItsPair) {
    for (unsigned f = 0; f < kFieldValues; ++f) {
        const auto field = static_cast<std::uint8_t>(f);
        const PiecePair corner = field_pair<kCornerPieceBits>(field);
        EXPECT_EQ(corner.piece, f % 8) << f;
        EXPECT_EQ(corner.orientation, f / 8) << f;
        const PiecePair edge = field_pair<kEdgePieceBits>(field);
        EXPECT_EQ(edge.piece, f % 16) << f;
        EXPECT_EQ(edge.orientation, f / 16) << f;
    }
}

TEST(Pieces, SlotFieldsTileTheWord) {
    std::mt19937_64 rng(7);
    for (int i = 0; i < 1000; ++i) {
        const std::uint64_t word = rng();
        std::uint64_t rebuilt = 0;
        for (std::size_t s = 0; s < 12; ++s)
            rebuilt |= std::uint64_t{slot_field(word, s)} << (5 * s);
        EXPECT_EQ(rebuilt, word & ((std::uint64_t{1} << 60) - 1));
    }
}

TEST(Pieces, BinaryDigitsMatchBitset) {
    std::mt19937_64 rng(11);
    for (int i = 0; i < 1000; ++i) {
        const std::uint64_t word = i < 64 ? std::uint64_t{1} << i : rng();
        const auto digits = binary_digits(word);
        EXPECT_EQ(std::string(digits.begin(), digits.end()), std::bitset<64>(word).to_string());
    }
}

} // namespace
} // namespace tessaroll::pieces
