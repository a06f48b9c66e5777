// The Python methods both cube classes share, written once over the Cube
// concept, and the order of each class's method table (kCube3x3Methods,
// kCube2x2Methods): the model's own rows (cube3x3/pymethods,
// cube2x2/pymethods) first, then these. cube_classes.cpp sets both classes
// up from them.
#pragma once

#include "cube/cube.h"
#include "cube/move_digits.h"
#include "cube/move_tokens.h"
#include "cube/rng.h"
#include "py/binding.h"
#include "py/gil.h"
#include "py/results.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tessaroll::cube_methods {

using py::Borrow;

// ---------------------------------------------------------------------------
// Method order
//
// The method tables in the order the classes list them (help(), dir() and
// vars() show it, and tests/test_binding.py pins it). Every row of a class
// must appear here exactly once; cube_classes.cpp checks that at import.

inline constexpr std::array kSharedMethods{
    "is_solved",       "do_u_move",       "do_u_prime_move", "do_d_move",       "do_d_prime_move",
    "do_r_move",       "do_r_prime_move", "do_l_move",       "do_l_prime_move", "do_f_move",
    "do_f_prime_move", "do_b_move",       "do_b_prime_move", "do_moves",        "scramble",
};

inline constexpr std::array kCube3x3Methods{
    "to_binary_corners", "to_binary_edges", "to_binary",
    "get_corners",       "get_edges",       "to_sticker_array",
};

inline constexpr std::array kCube2x2Methods{
    "to_binary",
    "get_corners",
    "to_sticker_array",
};

static_assert(kSharedMethods.size() == 3 + kMoveCount);

// The rows of `own` and `shared`, in the order of `own_order` then
// kSharedMethods, and the sentinel the interpreter stops at. A row missing
// from the order, or a name without its row, is a broken invariant.
inline std::vector<PyMethodDef> ordered_table(std::span<const char* const> own_order,
                                              std::span<const PyMethodDef> rows) {
    std::vector<PyMethodDef> table;
    auto take = [&](std::string_view name) {
        for (const PyMethodDef& row : rows) {
            if (name == row.ml_name) {
                table.push_back(row);
                return;
            }
        }
        throw std::logic_error("no method row named " + std::string(name));
    };
    for (const char* name : own_order)
        take(name);
    for (const char* name : kSharedMethods)
        take(name);
    if (table.size() != rows.size())
        throw std::logic_error("a method row has no place in the order");
    table.push_back({nullptr, nullptr, 0, nullptr});
    return table;
}

// ---------------------------------------------------------------------------
// Bodies

template <Cube C>
bool is_solved(const C& cube) {
    return cube.is_solved();
}

template <Cube C, std::size_t Index>
void turn(C& cube) {
    apply_move_index_internal(cube, Index);
}

// The move string's bytes, copied once before the first turn. Short strings
// (the usual scramble of a few dozen bytes) stay on the stack; longer ones
// take one heap block. Either way this is the call's only allocation.
class MoveBytes {
public:
    explicit MoveBytes(const py::Utf8& text) : size_(text.size) {
        char* dst = inline_;
        if (size_ > sizeof inline_) {
            heap_.reset(new char[size_]);
            dst = heap_.get();
        }
        if (size_) std::memcpy(dst, text.data, size_);
        data_ = dst;
    }
    MoveBytes(const MoveBytes&) = delete;
    MoveBytes& operator=(const MoveBytes&) = delete;

    std::string_view view() const noexcept { return {data_, size_}; }

private:
    std::size_t size_;
    const char* data_ = nullptr;
    std::unique_ptr<char[]> heap_;
    char inline_[256];
};

// Applies each recognised token as soon as the scan reaches it; unrecognised
// tokens are skipped. Nothing can fail once the copy exists.
template <Cube C>
void do_moves(C& cube, const py::Utf8& moves) {
    const MoveBytes bytes(moves);
    move_tokens::apply_moves(cube, bytes.view());
}

// Turns between two checks for a pending signal, so that an enormous length
// can still be interrupted with Ctrl-C.
inline constexpr std::uint64_t kTurnsPerSignalCheck = std::uint64_t{1} << 22;

// The generator is fetched (and seeded on first use) before the length is
// examined, so an unreadable entropy source is reported even for n < 1.
template <Cube C>
void scramble(C& cube, std::int64_t length) {
    ThreadRng& rng = thread_rng();
    if (length < 1) return;
    MoveDigits<ThreadRng> digits(rng);
    const auto n = static_cast<std::uint64_t>(length);
    for (std::uint64_t i = 0; i < n; ++i) {
        if (i % kTurnsPerSignalCheck == kTurnsPerSignalCheck - 1) [[unlikely]] {
            py::check_signals();
            // A signal handler may have forked; never reuse the parent's
            // leftover digits in the child.
            digits.discard();
        }
        apply_move_index_internal(cube, digits.next());
    }
}

template <Cube C>
py::Ref render_str(const C& cube) {
    const std::string text = cube.render_ansi_internal();
    return py::utf8_str(text.data(), text.size());
}

// ---------------------------------------------------------------------------
// Rows

struct TurnRow {
    const char* name;
    const char* doc;
};

// In move-index order, which is also their order in the method tables.
inline constexpr std::array<TurnRow, kMoveCount> kTurnRows{{
    {"do_u_move", "do_u_move($self)\n--\n\nApply the U move (clockwise top face turn)."},
    {"do_u_prime_move",
     "do_u_prime_move($self)\n--\n\nApply the U' move (counterclockwise top face turn)."},
    {"do_d_move", "do_d_move($self)\n--\n\nApply the D move (clockwise bottom face turn)."},
    {"do_d_prime_move",
     "do_d_prime_move($self)\n--\n\nApply the D' move (counterclockwise bottom face turn)."},
    {"do_r_move", "do_r_move($self)\n--\n\nApply the R move (clockwise right face turn)."},
    {"do_r_prime_move",
     "do_r_prime_move($self)\n--\n\nApply the R' move (counterclockwise right face turn)."},
    {"do_l_move", "do_l_move($self)\n--\n\nApply the L move (clockwise left face turn)."},
    {"do_l_prime_move",
     "do_l_prime_move($self)\n--\n\nApply the L' move (counterclockwise left face turn)."},
    {"do_f_move", "do_f_move($self)\n--\n\nApply the F move (clockwise front face turn)."},
    {"do_f_prime_move",
     "do_f_prime_move($self)\n--\n\nApply the F' move (counterclockwise front face turn)."},
    {"do_b_move", "do_b_move($self)\n--\n\nApply the B move (clockwise back face turn)."},
    {"do_b_prime_move",
     "do_b_prime_move($self)\n--\n\nApply the B' move (counterclockwise back face turn)."},
}};

template <class Cls, std::size_t... I>
std::array<PyMethodDef, 3 + sizeof...(I)> shared_rows(std::index_sequence<I...>) {
    using C = py::ValueOf<Cls>;
    return {
        py::noargs_method<Cls, Borrow::shared, &is_solved<C>>(
            "is_solved", "is_solved($self)\n--\n\nReturn true if the cube is solved."),
        py::noargs_method<Cls, Borrow::exclusive, &turn<C, I>>(kTurnRows[I].name,
                                                               kTurnRows[I].doc)...,
        py::method<Cls, "do_moves", Borrow::exclusive, &do_moves<C>,
                   py::Required<"moves", py::AsStr>>(
            "do_moves($self, moves)\n--\n\nApply a whitespace-separated sequence of cube moves."),
        py::method<Cls, "scramble", Borrow::exclusive, &scramble<C>,
                   py::Optional<"scramble_length", py::AsInt64, std::int64_t{20}>>(
            "scramble($self, scramble_length=20)\n--\n\n"
            "Apply a random scramble of the given length."),
    };
}

// Every row both cube classes have.
template <class Cls>
auto shared_rows() {
    return shared_rows<Cls>(std::make_index_sequence<kMoveCount>{});
}

// The __str__ slot: the terminal picture, under a shared borrow.
template <class Cls>
PyType_Slot str_slot() {
    return {Py_tp_str, py::as_slot(&py::str_entry<Cls, &render_str<py::ValueOf<Cls>>>)};
}

} // namespace tessaroll::cube_methods
