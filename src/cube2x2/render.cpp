// The 2x2 terminal picture: one get_sticker call per position, laid out as
// the unfolded net.
#include "cube2x2/render.h"

#include "cube/net.h"
#include "cube/slots.h"
#include "cube2x2/utils.h"

#include <array>
#include <cstddef>

namespace tessaroll {
namespace {

constexpr auto kCornerLettersByField = stickers::corners_by_field(net::kCornerLetters);

struct Facelet {
    std::size_t slot;
    std::size_t facelet;
};

// The facelet table read the other way: which slot and facelet each sticker
// position shows.
constexpr std::array<Facelet, Cube2x2::sticker_dim> positions() {
    std::array<Facelet, Cube2x2::sticker_dim> out{};
    for (std::size_t s = 0; s < 8; ++s)
        for (std::size_t j = 0; j < 3; ++j)
            out[stickers2x2::kCornerFacelets[s][j]] = {s, j};
    return out;
}
constexpr auto kPositions = positions();

} // namespace

std::string get_sticker(std::uint64_t state, std::size_t slot, std::size_t facelet) {
    const auto field = slots::field(state, static_cast<unsigned>(slot % 8));
    return net::sticker_text(kCornerLettersByField[field][facelet % 3]);
}

std::string Cube2x2::render_ansi_internal() const {
    std::array<std::string, sticker_dim> sticker;
    for (std::size_t i = 0; i < sticker_dim; ++i) {
        sticker[i] = get_sticker(state, kPositions[i].slot, kPositions[i].facelet);
    }
    return net::format_net<2>(sticker, 3);
}

} // namespace tessaroll
