// Sticker projection machinery shared by both cube models.
//
// A sticker array lists the faces U R F D L B, each row by row (U seen from
// above with B at its top, D from below with F at its top, the side faces
// from outside with U at their top). Colour code k is the centre colour of
// face k, so the solved array is nine (3x3) or four (2x2) of each code in
// order.
//
// Each slot has facelets numbered 0, 1(, 2): facelet 0 lies on U/D (on F/B
// for the middle-layer edge slots), the others follow counterclockwise seen
// from outside. Facelet j of a slot shows colour (j + t) mod 3 of the corner
// piece in it (t = twist) or colour (j + f) mod 2 of the edge piece (f =
// flip). Rather than doing that arithmetic per sticker, the tables below are
// indexed by the whole 5-bit slot field and already hold the rotated colours,
// so every sticker costs one load and one store with a constant destination.
#pragma once

#include "cube/slots.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace tessaroll::stickers {

using Colour = std::uint8_t;
inline constexpr Colour kWhite = 0, kRed = 1, kGreen = 2, kYellow = 3, kOrange = 4, kBlue = 5;
inline constexpr std::size_t kFaceCount = 6;
enum Face : std::size_t { U = 0, R = 1, F = 2, D = 3, L = 4, B = 5 };

template <class T, std::size_t Facelets, std::size_t Rows>
using PieceTable = std::array<std::array<T, Facelets>, Rows>;

// Colours of each piece for facelets 0, 1(, 2), row = piece number. Column 0
// is the U/D colour (F/B for edge pieces 8..11).
inline constexpr PieceTable<Colour, 3, 8> kCornerColours{{
    {kWhite, kBlue, kOrange},   // ULB
    {kWhite, kRed, kBlue},      // UBR
    {kWhite, kGreen, kRed},     // URF
    {kWhite, kOrange, kGreen},  // UFL
    {kYellow, kOrange, kBlue},  // DLB
    {kYellow, kBlue, kRed},     // DBR
    {kYellow, kRed, kGreen},    // DFR
    {kYellow, kGreen, kOrange}, // DFL
}};

inline constexpr PieceTable<Colour, 2, 12> kEdgeColours{{
    {kWhite, kBlue},    // UB
    {kWhite, kRed},     // UR
    {kWhite, kGreen},   // UF
    {kWhite, kOrange},  // UL
    {kYellow, kBlue},   // DB
    {kYellow, kRed},    // DR
    {kYellow, kGreen},  // DF
    {kYellow, kOrange}, // DL
    {kBlue, kOrange},   // BL
    {kBlue, kRed},      // BR
    {kGreen, kRed},     // FR
    {kGreen, kOrange},  // FL
}};

using slots::kFieldValues;

// What the facelets of a slot show, for every possible slot field. Corner
// field: piece = low 3 bits, twist = high 2 bits; twist 3 never arises from a
// turn and reads as 0 (the rotation is taken mod 3). Edge field: piece = low
// 4 bits, flip = bit 4; pieces 12..15 never arise either and read as piece
// p - 12, so that every field value maps to some in-range entry and a lookup
// can never leave the table.
template <class T>
constexpr PieceTable<T, 3, kFieldValues> corners_by_field(const PieceTable<T, 3, 8>& pieces) {
    PieceTable<T, 3, kFieldValues> out{};
    for (std::size_t v = 0; v < kFieldValues; ++v) {
        const std::size_t piece = v & 7, twist = v >> 3;
        for (std::size_t j = 0; j < 3; ++j)
            out[v][j] = pieces[piece][(j + twist) % 3];
    }
    return out;
}

template <class T>
constexpr PieceTable<T, 2, kFieldValues> edges_by_field(const PieceTable<T, 2, 12>& pieces) {
    PieceTable<T, 2, kFieldValues> out{};
    for (std::size_t v = 0; v < kFieldValues; ++v) {
        const std::size_t piece = (v & 15) % 12, flip = v >> 4;
        for (std::size_t j = 0; j < 2; ++j)
            out[v][j] = pieces[piece][(j + flip) % 2];
    }
    return out;
}

inline constexpr auto kCornerColoursByField = corners_by_field(kCornerColours);
inline constexpr auto kEdgeColoursByField = edges_by_field(kEdgeColours);

// Where[s][j] is the sticker index of facelet j of slot s.
template <std::size_t Slots, std::size_t Facelets>
using FaceletTable = std::array<std::array<std::uint8_t, Facelets>, Slots>;

// Writes what every slot of `word` shows through Where. With the tables as
// template arguments and the slot/facelet loops expanded, this is a fixed
// sequence of shift, mask, load, store: no branch depends on the state.
template <const auto& Where, const auto& ByField, class Out, std::size_t... S>
constexpr void write_word(std::uint64_t word, Out* out, std::index_sequence<S...>) noexcept {
    constexpr std::size_t facelets =
        std::tuple_size_v<typename std::decay_t<decltype(Where)>::value_type>;
    auto slot = [&]<std::size_t Slot, std::size_t... J>(std::index_sequence<J...>) {
        const auto& shown = ByField[slots::field(word, Slot)];
        ((out[Where[Slot][J]] = static_cast<Out>(shown[J])), ...);
    };
    (slot.template operator()<S>(std::make_index_sequence<facelets>{}), ...);
}

template <const auto& Where, const auto& ByField, class Out>
constexpr void write_word(std::uint64_t word, Out* out) noexcept {
    write_word<Where, ByField>(
        word, out, std::make_index_sequence<std::tuple_size_v<std::decay_t<decltype(Where)>>>{});
}

// Compile-time audit of a model's layout: every sticker index below Dim is
// covered exactly once by the facelet tables plus the listed fixed indexes.
template <std::size_t Dim>
constexpr bool covers_each_index_once(std::initializer_list<std::size_t> fixed,
                                      const auto&... tables) {
    std::array<int, Dim> hits{};
    for (std::size_t i : fixed) {
        if (i >= Dim) return false;
        ++hits[i];
    }
    auto add = [&](const auto& table) {
        for (const auto& slot : table)
            for (auto i : slot) {
                if (i >= Dim) return false;
                ++hits[i];
            }
        return true;
    };
    if (!(add(tables) && ...)) return false;
    for (int h : hits)
        if (h != 1) return false;
    return true;
}

// Compile-time audit: a solved sticker array reads every code k on all of
// face k, in face order.
template <class Array>
constexpr bool reads_face_by_face(const Array& a) {
    const std::size_t per_face = a.size() / kFaceCount;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i] != i / per_face) return false;
    return true;
}

// The forms of a model's sticker projection, derived once from the model's
// single writer, `write_stickers_internal(Out* out)`, which writes exactly
// sticker_dim codes of any integer type: as a fixed array of byte codes (no
// allocation) and as a new vector of int64. An empty base: it adds nothing to
// the packed value, and compares equal to itself, so that a model's defaulted
// operator== still compares its state words alone.
template <class Model>
struct StickerForms {
    constexpr auto to_sticker_array_internal() const noexcept {
        std::array<Colour, Model::sticker_dim> out{};
        model().write_stickers_internal(out.data());
        return out;
    }
    std::vector<std::int64_t> sticker_array_internal() const {
        std::vector<std::int64_t> out(Model::sticker_dim);
        model().write_stickers_internal(out.data());
        return out;
    }
    friend constexpr bool operator==(const StickerForms&, const StickerForms&) = default;

private:
    constexpr const Model& model() const noexcept { return static_cast<const Model&>(*this); }
};

} // namespace tessaroll::stickers
