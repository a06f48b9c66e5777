// Terminal picture of a 3x3 cube; Cube3x3::render_ansi_internal lives in
// render.cpp next to this helper.
#pragma once

#include <string>

namespace tessaroll {

// The text of one sticker with colour letter c (net::sticker_text): c wrapped
// in its ANSI colour escape and the reset ESC[0m; any other character comes
// back alone, unescaped.
std::string ansi_color(char c);

} // namespace tessaroll
