// Move strings: cutting UTF-8 text into move tokens, and what a token means.
//
// Tokens are separated by exactly the characters with the Unicode White_Space
// property. They are matched as byte sequences, which is the same as decoding:
// every separator starts with an ASCII byte or a UTF-8 lead byte and continues
// with continuation bytes only, so no separator can begin inside another
// character or overlap another separator. The same argument makes the forward
// and the backward walk cut any byte string, valid UTF-8 or not, into the same
// tokens. No byte outside the given range is read, and nothing but
// inverse_moves (for its result) allocates.
#pragma once

#include "cube/cube.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tessaroll::move_tokens {

namespace detail {

constexpr unsigned char byte_at(std::string_view s, std::size_t i) noexcept {
    return static_cast<unsigned char>(s[i]);
}

// U+0009..U+000D and U+0020.
constexpr bool is_ascii_space(unsigned char b) noexcept {
    return b == 0x20 || static_cast<unsigned char>(b - 0x09) <= 0x0D - 0x09;
}

// Third byte of the E2 80 xx separators: U+2000..U+200A, U+2028, U+2029, U+202F.
constexpr bool is_e280_tail(unsigned char b) noexcept {
    return (b >= 0x80 && b <= 0x8A) || b == 0xA8 || b == 0xA9 || b == 0xAF;
}

// Length of the multi-byte separator whose bytes are exactly s[i..i+len), or 0.
// The lead byte decides the length: C2 -> 2 (U+0085, U+00A0), E1/E2/E3 -> 3.
constexpr std::size_t multibyte_space_len(std::string_view s, std::size_t i,
                                          std::size_t avail) noexcept {
    const unsigned char lead = byte_at(s, i);
    if (lead == 0xC2) {
        if (avail < 2) return 0;
        const unsigned char b1 = byte_at(s, i + 1);
        return (b1 == 0x85 || b1 == 0xA0) ? 2 : 0;
    }
    if (lead < 0xE1 || lead > 0xE3 || avail < 3) return 0;
    const unsigned char b1 = byte_at(s, i + 1);
    const unsigned char b2 = byte_at(s, i + 2);
    switch (lead) {
    case 0xE1: return (b1 == 0x9A && b2 == 0x80) ? 3 : 0; // U+1680
    case 0xE2:
        return ((b1 == 0x80 && is_e280_tail(b2)) || (b1 == 0x81 && b2 == 0x9F)) // U+205F
                   ? 3
                   : 0;
    default: return (b1 == 0x80 && b2 == 0x80) ? 3 : 0; // E3: U+3000
    }
}

} // namespace detail

// Byte length of the separator that starts at s[i], or 0 if none does.
constexpr std::size_t space_at(std::string_view s, std::size_t i) noexcept {
    const unsigned char b = detail::byte_at(s, i);
    if (b < 0x80) return detail::is_ascii_space(b) ? 1 : 0;
    return detail::multibyte_space_len(s, i, s.size() - i);
}

// Byte length of the separator that ends just before s[end], or 0 if none does.
constexpr std::size_t space_before(std::string_view s, std::size_t end) noexcept {
    const unsigned char b = detail::byte_at(s, end - 1);
    if (b < 0x80) return detail::is_ascii_space(b) ? 1 : 0;
    // A separator ending here has its lead byte 2 or 3 bytes back.
    if (end >= 2 && detail::byte_at(s, end - 2) == 0xC2)
        return detail::multibyte_space_len(s, end - 2, 2);
    // A C2 lead three bytes back would be a separator ending one byte early.
    if (end >= 3 && detail::multibyte_space_len(s, end - 3, 3) == 3) return 3;
    return 0;
}

// Call f(token) for every token of s, first to last.
template <class F>
constexpr void for_each_token(std::string_view s, F&& f) {
    const std::size_t n = s.size();
    std::size_t i = 0;
    while (i < n) {
        std::size_t sp;
        while (i < n && (sp = space_at(s, i)) != 0)
            i += sp;
        const std::size_t start = i;
        while (i < n && space_at(s, i) == 0)
            ++i;
        if (i > start) f(s.substr(start, i - start));
    }
}

// Call f(token) for every token of s, last to first.
template <class F>
constexpr void for_each_token_reverse(std::string_view s, F&& f) {
    std::size_t j = s.size();
    while (j > 0) {
        std::size_t sp;
        while (j > 0 && (sp = space_before(s, j)) != 0)
            j -= sp;
        const std::size_t end = j;
        while (j > 0 && space_before(s, j) == 0)
            --j;
        if (end > j) f(s.substr(j, end - j));
    }
}

// What a token does: `count` turns of move index `index` (see cube/cube.h).
// Unrecognised tokens have count 0.
struct TokenMove {
    std::uint8_t index;
    std::uint8_t count;
};

// Move index of the clockwise turn of a face letter, or -1.
constexpr int face_index(char c) noexcept {
    switch (c) {
    case 'U': return 0;
    case 'D': return 2;
    case 'R': return 4;
    case 'L': return 6;
    case 'F': return 8;
    case 'B': return 10;
    default: return -1;
    }
}

// The 24 accepted tokens: a face letter, optionally followed by ' or ! (the
// counter-clockwise turn) or 2 (two clockwise turns). Case-sensitive.
constexpr TokenMove token_move(std::string_view tok) noexcept {
    if (tok.empty() || tok.size() > 2) return {0, 0};
    const int face = face_index(tok[0]);
    if (face < 0) return {0, 0};
    const auto cw = static_cast<std::uint8_t>(face);
    if (tok.size() == 1) return {cw, 1};
    switch (tok[1]) {
    case '\'':
    case '!': return {static_cast<std::uint8_t>(cw + 1), 1};
    case '2': return {cw, 2};
    default: return {0, 0};
    }
}

// The token that undoes `tok`: X <-> X', X2 -> X2 for the six faces. Every
// other token, the "X!" spelling included, is its own image. The result views
// static storage or `tok` itself.
constexpr std::string_view inverse_token(std::string_view tok) noexcept {
    constexpr std::string_view kPrimed[6] = {"U'", "D'", "R'", "L'", "F'", "B'"};
    if (tok.empty() || tok.size() > 2) return tok;
    const int face = face_index(tok[0]);
    if (face < 0) return tok;
    const std::string_view primed = kPrimed[face / 2];
    if (tok.size() == 1) return primed;
    if (tok[1] == '\'') return primed.substr(0, 1);
    return tok; // X2 maps to itself; anything else is copied unchanged
}

// Apply the accepted tokens of `moves` to `cube` as the scan reaches them;
// every other token is skipped.
template <Cube C>
constexpr void apply_moves(C& cube, std::string_view moves) noexcept {
    for_each_token(moves, [&cube](std::string_view token) {
        const TokenMove m = token_move(token);
        for (unsigned i = 0; i < m.count; ++i)
            apply_move_index_internal(cube, m.index);
    });
}

// The tokens of `moves` from the last to the first, each replaced by its
// inverse_token, joined by single spaces. Tokens are cut at whole characters,
// so valid UTF-8 in gives valid UTF-8 out.
inline std::string inverse_moves(std::string_view moves) {
    std::string out;
    out.reserve(moves.size() + moves.size() / 2); // "U U" -> "U' U'" at worst
    for_each_token_reverse(moves, [&out](std::string_view token) {
        if (!out.empty()) out += ' ';
        out += inverse_token(token);
    });
    return out;
}

} // namespace tessaroll::move_tokens
