// What both cube classes share, written once over the Cube concept: the
// methods' bodies and rows, and the rest of the type (constructor,
// deallocation, __str__). Each model's pymethods.cpp builds its class from
// its own rows followed by shared_rows(), the order help(), dir() and vars()
// show.
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
#include <string>
#include <string_view>
#include <utility>

namespace tessaroll::cube_methods {

using py::Borrow;

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
auto shared_rows(std::index_sequence<I...>) {
    using C = py::ValueOf<Cls>;
    return std::array{
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

template <Cube C>
C construct() {
    return C{};
}

// A cube class's PyType_Spec, from its documentation (signature line
// first), its method table and its read-only attributes (both
// null-terminated). The type keeps pointers into all of them, so each lives
// for the process: one static object per class.
template <class Cls>
class CubeType {
public:
    CubeType(const char* doc, PyMethodDef* methods, PyGetSetDef* attributes)
        : slots_{{
              {Py_tp_doc, const_cast<char*>(doc)},
              {Py_tp_new, py::as_slot(&py::new_entry<Cls, &construct<C>>)},
              {Py_tp_dealloc, py::as_slot(&py::dealloc_entry<Cls>)},
              {Py_tp_str, py::as_slot(&py::str_entry<Cls, &render_str<C>>)},
              {Py_tp_methods, methods},
              {Py_tp_getset, attributes},
              {0, nullptr},
          }},
          spec_{name_.c_str(), static_cast<int>(sizeof(py::Instance<C>)), 0, Py_TPFLAGS_DEFAULT,
                slots_.data()} {}
    CubeType(const CubeType&) = delete;
    CubeType& operator=(const CubeType&) = delete;

    PyTypeObject* create() { return py::create_type(spec_); }

private:
    using C = py::ValueOf<Cls>;
    // A dotted name gives __module__ == "builtins" on CPython and PyPy alike.
    const std::string name_ = std::string("builtins.") + Cls::name;
    std::array<PyType_Slot, 7> slots_;
    PyType_Spec spec_;
};

} // namespace tessaroll::cube_methods
