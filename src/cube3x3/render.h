// Terminal picture of a 3x3 cube; Cube3x3::render_ansi_internal lives in
// render.cpp next to this helper.
#pragma once

#include <string>

namespace tessaroll {

// The text of one sticker with colour letter c: c wrapped in its ANSI colour
// escape and the reset ESC[0m. Orange is colour 208 of the 256-colour
// palette (there is no orange among the 16 basic colours); the others are
// bold basic colours. Any other character comes back alone, unescaped.
std::string ansi_color(char c);

} // namespace tessaroll
