// Python method rows and bodies that both cube classes share, written once
// over the Cube concept. Each model's pymethods file lists them in its own
// method table, in its own order.
#pragma once

#include "binding.h"
#include "cube/cube.h"

#include <array>
#include <cstddef>

namespace tessaroll::pymethods {

using py::Borrow;

template <Cube C>
bool is_solved(const C& cube) {
    return cube.is_solved();
}

template <Cube C, std::size_t Index>
void turn(C& cube) {
    apply_move_index_internal(cube, Index);
}

struct TurnRow {
    const char* name;
    const char* doc;
};

// In move-index order, which is also the order of the method tables.
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

template <class Cls, std::size_t Index>
PyMethodDef turn_method() {
    return py::noargs_method<Cls, Borrow::exclusive, &turn<py::ValueOf<Cls>, Index>>(
        kTurnRows[Index].name, kTurnRows[Index].doc);
}

template <class Cls>
PyMethodDef is_solved_method() {
    return py::noargs_method<Cls, Borrow::shared, &is_solved<py::ValueOf<Cls>>>(
        "is_solved", "is_solved($self)\n--\n\nReturn true if the cube is solved.");
}

inline py::Ref uint64_to_int(std::uint64_t v) {
    return py::Ref::check(PyLong_FromUnsignedLongLong(v));
}

} // namespace tessaroll::pymethods
