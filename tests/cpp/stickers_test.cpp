// What Python cannot reach: state words that no turn produces (high bits,
// twist 3, edge pieces 12..15), the exact extent of the raw row writer, and
// the render helpers on their own.
#include "cube/cube.h"
#include "cube2x2/render.h"
#include "cube2x2/utils.h"
#include "cube3x3/render.h"
#include "cube3x3/utils.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace tessaroll {
namespace {

using u64 = std::uint64_t;

constexpr u64 kCornerHigh = ~((u64{1} << 40) - 1);
constexpr u64 kEdgeHigh = ~((u64{1} << 60) - 1);

// The 2x2 layout is the 3x3 corner layout with each face reduced to its four
// corners: 3x3 positions 0, 2, 6, 8 of a face are 2x2 positions 0, 1, 2, 3.
constexpr std::size_t reduce(std::size_t index3x3) {
    const std::size_t pos = index3x3 % 9;
    return 4 * (index3x3 / 9) + (pos / 6) * 2 + (pos % 3) / 2;
}

constexpr bool is_reduced_3x3_layout() {
    for (std::size_t s = 0; s < 8; ++s)
        for (std::size_t j = 0; j < 3; ++j)
            if (stickers2x2::kCornerFacelets[s][j] != reduce(stickers3x3::kCornerFacelets[s][j]))
                return false;
    return true;
}
static_assert(is_reduced_3x3_layout());

// The letters of a picture, escapes dropped, in the order they appear.
std::string picture_letters(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\x1b') {
            i = text.find('m', i);
            continue;
        }
        if (text[i] != ' ' && text[i] != '\n') out += text[i];
    }
    return out;
}

// Sticker-array index of each letter of the picture: U rows, then the rows
// of L F R B side by side, then D rows.
template <std::size_t N>
std::vector<std::size_t> picture_order() {
    std::vector<std::size_t> order;
    auto rows = [&](std::size_t face, std::size_t r) {
        for (std::size_t c = 0; c < N; ++c)
            order.push_back(face * N * N + r * N + c);
    };
    for (std::size_t r = 0; r < N; ++r)
        rows(0, r);
    for (std::size_t r = 0; r < N; ++r)
        for (std::size_t face : {4, 2, 1, 5})
            rows(face, r);
    for (std::size_t r = 0; r < N; ++r)
        rows(3, r);
    return order;
}

template <Cube C>
void expect_forms_agree(const C& cube) {
    const auto fixed = cube.to_sticker_array_internal();
    const auto vec = cube.sticker_array_internal();
    ASSERT_EQ(vec.size(), C::sticker_dim);
    std::vector<std::int64_t> raw(C::sticker_dim + 2, -7);
    cube.write_stickers_internal(raw.data() + 1);
    EXPECT_EQ(raw.front(), -7);
    EXPECT_EQ(raw.back(), -7);
    for (std::size_t i = 0; i < C::sticker_dim; ++i) {
        EXPECT_EQ(vec[i], fixed[i]) << i;
        EXPECT_EQ(raw[i + 1], fixed[i]) << i;
        EXPECT_LE(fixed[i], 5u) << i;
    }
    // The picture shows the same colours, position by position.
    constexpr std::size_t n = C::sticker_dim == 54 ? 3 : 2;
    const std::string letters = picture_letters(cube.render_ansi_internal());
    const auto order = picture_order<n>();
    ASSERT_EQ(letters.size(), C::sticker_dim);
    for (std::size_t k = 0; k < order.size(); ++k) {
        EXPECT_EQ(letters[k], "WRGYOB"[fixed[order[k]]]) << k;
    }
}

TEST(Stickers, HighBitsAreNotRead) {
    Cube3x3 cube;
    cube.do_r_move_internal();
    cube.do_f_move_internal();
    Cube3x3 noisy = cube;
    noisy.corners |= kCornerHigh;
    noisy.edges |= kEdgeHigh;
    EXPECT_EQ(noisy.to_sticker_array_internal(), cube.to_sticker_array_internal());
    EXPECT_EQ(noisy.render_ansi_internal(), cube.render_ansi_internal());

    Cube2x2 small;
    small.do_b_move_internal();
    Cube2x2 noisy_small = small;
    noisy_small.state |= kCornerHigh;
    EXPECT_EQ(noisy_small.to_sticker_array_internal(), small.to_sticker_array_internal());
    EXPECT_EQ(noisy_small.render_ansi_internal(), small.render_ansi_internal());
}

TEST(Stickers, TwistThreeReadsAsZero) {
    Cube2x2 twisted;
    twisted.state |= u64{3} << 3; // slot 0: piece 0, twist 3
    EXPECT_EQ(twisted.to_sticker_array_internal(), Cube2x2{}.to_sticker_array_internal());
    EXPECT_EQ(twisted.render_ansi_internal(), Cube2x2{}.render_ansi_internal());
}

TEST(Stickers, EveryFieldValueStaysInRange) {
    // All 32 values of every slot field, including ones no turn produces.
    for (u64 v = 0; v < 32; ++v) {
        Cube3x3 cube;
        Cube2x2 small;
        for (unsigned s = 0; s < 12; ++s)
            cube.edges = (cube.edges & ~(u64{31} << 5 * s)) | v << 5 * s;
        for (unsigned s = 0; s < 8; ++s) {
            cube.corners = (cube.corners & ~(u64{31} << 5 * s)) | v << 5 * s;
            small.state = cube.corners;
        }
        SCOPED_TRACE(v);
        expect_forms_agree(cube);
        expect_forms_agree(small);
    }
}

TEST(Stickers, ArbitraryWordsAgreeAcrossForms) {
    std::mt19937_64 rng(20240607);
    for (int i = 0; i < 200; ++i) {
        Cube3x3 cube;
        cube.corners = rng();
        cube.edges = rng();
        Cube2x2 small;
        small.state = rng();
        expect_forms_agree(cube);
        expect_forms_agree(small);
    }
}

TEST(Render, AnsiColorWrapsOnlyTheSixLetters) {
    EXPECT_EQ(ansi_color('W'), "\x1b[37;1mW\x1b[0m");
    EXPECT_EQ(ansi_color('O'), "\x1b[38;5;208mO\x1b[0m");
    EXPECT_EQ(ansi_color('R'), "\x1b[31;1mR\x1b[0m");
    EXPECT_EQ(ansi_color('x'), "x");
    EXPECT_EQ(ansi_color(' '), " ");
}

TEST(Render, GetStickerReadsTwistedCorners) {
    Cube2x2 cube;
    cube.do_r_move_internal(); // slot 1 (UBR) now holds URF twisted once
    // Piece URF (W G R) with twist 1: facelet j shows colour (j + 1) mod 3.
    EXPECT_EQ(get_sticker(cube.state, 1, 0), ansi_color('G'));
    EXPECT_EQ(get_sticker(cube.state, 1, 1), ansi_color('R'));
    EXPECT_EQ(get_sticker(cube.state, 1, 2), ansi_color('W'));
    EXPECT_EQ(get_sticker(Cube2x2{}.state, 7, 1), ansi_color('G'));
    // Out-of-range numbers wrap instead of reading past the tables.
    EXPECT_EQ(get_sticker(cube.state, 9, 4), get_sticker(cube.state, 1, 1));
}

} // namespace
} // namespace tessaroll
