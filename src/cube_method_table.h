// Assembles a cube class's method table: the rows only that model has,
// followed by the rows both models share, in the documented order.
#pragma once

#include "cube_pymethods.h"
#include "moves_pymethods.h"

#include <array>
#include <cstddef>
#include <utility>

namespace tessaroll::pymethods {

template <class Cls, std::size_t... I>
std::array<PyMethodDef, 3 + sizeof...(I)> shared_rows(std::index_sequence<I...>) {
    return {is_solved_method<Cls>(), turn_method<Cls, I>()..., do_moves_method<Cls>(),
            scramble_method<Cls>()};
}

// `own` rows, then is_solved, the twelve turns, do_moves and scramble, then
// the sentinel the interpreter stops at.
template <class Cls, std::size_t N>
auto cube_method_table(const std::array<PyMethodDef, N>& own) {
    const auto shared = shared_rows<Cls>(std::make_index_sequence<kMoveCount>{});
    std::array<PyMethodDef, N + shared.size() + 1> table{};
    std::size_t at = 0;
    for (const PyMethodDef& row : own)
        table[at++] = row;
    for (const PyMethodDef& row : shared)
        table[at++] = row;
    table[at] = {nullptr, nullptr, 0, nullptr};
    return table;
}

} // namespace tessaroll::pymethods
