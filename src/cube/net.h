// The unfolded net that both models print for a colour terminal:
//
//          U
//    L  F  R  B
//          D
//
// Each face is drawn row by row in sticker-array order; stickers in a row are
// joined by one space and the side faces by `gap` spaces. U and D are
// indented by the visible width of one face row plus the gap, so they stand
// exactly above and below F once the escapes are not counted.
#pragma once

#include "cube/stickers.h"

#include <array>
#include <cstddef>
#include <string>

namespace tessaroll::net {

// The text of one sticker with colour letter c: c wrapped in its ANSI colour
// escape and the reset ESC[0m. Orange is colour 208 of the 256-colour
// palette (there is no orange among the 16 basic colours); the others are
// bold basic colours. Any other character comes back alone, unescaped.
inline std::string sticker_text(char c) {
    const char* escape = nullptr;
    switch (c) {
    case 'W': escape = "\x1b[37;1m"; break;
    case 'Y': escape = "\x1b[33;1m"; break;
    case 'G': escape = "\x1b[32;1m"; break;
    case 'B': escape = "\x1b[34;1m"; break;
    case 'O': escape = "\x1b[38;5;208m"; break;
    case 'R': escape = "\x1b[31;1m"; break;
    default: return std::string(1, c);
    }
    std::string text(escape);
    text += c;
    text += "\x1b[0m";
    return text;
}

// The letter of each colour code: white red green yellow orange blue.
inline constexpr char kColourLetters[stickers::kFaceCount + 1] = "WRGYOB";

// A piece table's colour codes as letters: the letters the picture shows,
// from the colours the sticker array reports, so the two cannot differ.
template <std::size_t Facelets, std::size_t Rows>
constexpr stickers::PieceTable<char, Facelets, Rows>
letters_of(const stickers::PieceTable<stickers::Colour, Facelets, Rows>& colours) {
    stickers::PieceTable<char, Facelets, Rows> letters{};
    for (std::size_t p = 0; p < Rows; ++p)
        for (std::size_t j = 0; j < Facelets; ++j)
            letters[p][j] = kColourLetters[colours[p][j]];
    return letters;
}

// Row = piece number; columns = facelets 0, 1(, 2), as in the colour tables.
inline constexpr auto kCornerLetters = letters_of(stickers::kCornerColours);
inline constexpr auto kEdgeLetters = letters_of(stickers::kEdgeColours);

// `sticker` holds the text of every sticker in sticker-array order; each of
// the 3N lines ends with a single '\n' and carries no trailing space.
template <std::size_t N>
std::string format_net(const std::array<std::string, stickers::kFaceCount * N * N>& sticker,
                       std::size_t gap) {
    using stickers::Face;
    const std::string indent(2 * N - 1 + gap, ' ');
    const std::string separator(gap, ' ');
    std::size_t size = 3 * N * (indent.size() + 1);
    for (const auto& s : sticker)
        size += s.size() + 1;
    std::string out;
    out.reserve(size);

    auto row = [&](Face face, std::size_t r) {
        for (std::size_t c = 0; c < N; ++c) {
            if (c) out += ' ';
            out += sticker[face * N * N + r * N + c];
        }
    };
    for (std::size_t r = 0; r < N; ++r) {
        out += indent;
        row(Face::U, r);
        out += '\n';
    }
    for (std::size_t r = 0; r < N; ++r) {
        row(Face::L, r);
        out += separator;
        row(Face::F, r);
        out += separator;
        row(Face::R, r);
        out += separator;
        row(Face::B, r);
        out += '\n';
    }
    for (std::size_t r = 0; r < N; ++r) {
        out += indent;
        row(Face::D, r);
        out += '\n';
    }
    return out;
}

} // namespace tessaroll::net
