// The 3x3 terminal picture: letters from the net's letter tables, each
// wrapped by ansi_color, laid out as the unfolded net.
#include "cube3x3/render.h"

#include "cube/net.h"
#include "cube3x3/utils.h"

#include <array>
#include <cstddef>

namespace tessaroll {
namespace {

constexpr auto kCornerLettersByField = stickers::corners_by_field(net::kCornerLetters);
constexpr auto kEdgeLettersByField = stickers::edges_by_field(net::kEdgeLetters);

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
