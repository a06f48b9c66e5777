// The 3x3 terminal picture: letters from the renderer's own letter tables,
// each wrapped by ansi_color, laid out as the unfolded net.
#include "cube3x3/render.h"

#include "cube/net.h"
#include "cube3x3/utils.h"

#include <array>
#include <cstddef>

namespace tessaroll {
namespace {

using stickers::PieceTable;

// Row = piece number; columns = facelets 0, 1(, 2), as in the colour tables.
constexpr PieceTable<char, 3, 8> kCornerLetters{{
    {'W', 'B', 'O'},
    {'W', 'R', 'B'},
    {'W', 'G', 'R'},
    {'W', 'O', 'G'},
    {'Y', 'O', 'B'},
    {'Y', 'B', 'R'},
    {'Y', 'R', 'G'},
    {'Y', 'G', 'O'},
}};

constexpr PieceTable<char, 2, 12> kEdgeLetters{{
    {'W', 'B'},
    {'W', 'R'},
    {'W', 'G'},
    {'W', 'O'},
    {'Y', 'B'},
    {'Y', 'R'},
    {'Y', 'G'},
    {'Y', 'O'},
    {'B', 'O'},
    {'B', 'R'},
    {'G', 'R'},
    {'G', 'O'},
}};

// The picture must show what the sticker array reports.
static_assert(net::spells(kCornerLetters, stickers::kCornerColours));
static_assert(net::spells(kEdgeLetters, stickers::kEdgeColours));

constexpr auto kCornerLettersByField = stickers::corners_by_field(kCornerLetters);
constexpr auto kEdgeLettersByField = stickers::edges_by_field(kEdgeLetters);

} // namespace

std::string ansi_color(char c) {
    return net::sticker_text(c);
}

std::string Cube3x3::render_ansi_internal() const {
    std::array<char, sticker_dim> letters{};
    for (std::size_t face = 0; face < stickers::kFaceCount; ++face) {
        letters[stickers3x3::centre(face)] = net::kColourLetters[face];
    }
    stickers::write_word<stickers3x3::kCornerFacelets, kCornerLettersByField>(corners,
                                                                              letters.data());
    stickers::write_word<stickers3x3::kEdgeFacelets, kEdgeLettersByField>(edges, letters.data());

    std::array<std::string, sticker_dim> sticker;
    for (std::size_t i = 0; i < sticker_dim; ++i)
        sticker[i] = ansi_color(letters[i]);
    return net::format_net<3>(sticker, 2);
}

} // namespace tessaroll
