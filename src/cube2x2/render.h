// Terminal picture of a 2x2 cube; Cube2x2::render_ansi_internal lives in
// render.cpp next to this helper.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tessaroll {

// The sticker text (net::sticker_text) of facelet `facelet` (0..2) of corner
// slot `slot` (0..7) of a 2x2 state word. Out-of-range numbers are reduced
// modulo 8 and 3 rather than read past the tables.
std::string get_sticker(std::uint64_t state, std::size_t slot, std::size_t facelet);

} // namespace tessaroll
