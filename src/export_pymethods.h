// Python method rows and bodies for the state exports that both cube classes
// share: sticker lists, piece lists, binary strings and the terminal picture.
// Each model's pymethods file lists them in its own method table.
#pragma once

#include "binding.h"
#include "cube/cube.h"
#include "cube/pieces.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tessaroll::pymethods {

using py::Borrow;

// A new list of Python ints: the colour codes of every sticker.
template <Cube C>
py::Ref to_sticker_array(const C& cube) {
    const auto codes = cube.to_sticker_array_internal();
    const auto size = static_cast<Py_ssize_t>(codes.size());
#ifdef PYPY_VERSION
    // Filling a list item by item through cpyext costs microseconds per
    // item; list(bytes) is built natively, about 50 times faster.
    py::Ref bytes = py::Ref::check(
        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(codes.data()), size));
    return py::Ref::check(PySequence_List(bytes.get()));
#else
    py::Ref list = py::Ref::check(PyList_New(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* code = PyLong_FromLong(codes[static_cast<std::size_t>(i)]);
        if (!code) py::throw_error(); // unfilled items are NULL: safe to drop
        PyList_SET_ITEM(list.get(), i, code);
    }
    return list;
#endif
}

// A new list of new (piece, orientation) tuples, one per slot.
template <std::size_t N>
py::Ref pair_list(const std::array<pieces::PiecePair, N>& pairs) {
    py::Ref list = py::Ref::check(PyList_New(static_cast<Py_ssize_t>(N)));
    for (std::size_t i = 0; i < N; ++i) {
        py::Ref piece = py::Ref::check(PyLong_FromLong(pairs[i].piece));
        py::Ref orientation = py::Ref::check(PyLong_FromLong(pairs[i].orientation));
        py::Ref pair = py::Ref::check(PyTuple_Pack(2, piece.get(), orientation.get()));
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair.release());
    }
    return list;
}

inline py::Ref corner_list(std::uint64_t word) {
    return pair_list(pieces::corner_pairs(word));
}
inline py::Ref edge_list(std::uint64_t word) {
    return pair_list(pieces::edge_pairs(word));
}

// The word as a 64-character str of '0' and '1'.
inline py::Ref binary_str(std::uint64_t word) {
    const auto digits = pieces::binary_digits(word);
    return py::Ref::check(
        PyUnicode_FromStringAndSize(digits.data(), static_cast<Py_ssize_t>(digits.size())));
}

template <Cube C>
py::Ref render_str(const C& cube) {
    const std::string text = cube.render_ansi_internal();
    return py::Ref::check(
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

template <class Cls, auto Body>
PyMethodDef get_corners_method() {
    return py::noargs_method<Cls, Borrow::shared, Body>(
        "get_corners", "get_corners($self)\n--\n\nReturn the corner state as an array.");
}

template <class Cls>
PyMethodDef to_sticker_array_method(const char* doc) {
    return py::noargs_method<Cls, Borrow::shared, &to_sticker_array<py::ValueOf<Cls>>>(
        "to_sticker_array", doc);
}

// The __str__ slot: the terminal picture, under a shared borrow.
template <class Cls>
PyType_Slot str_slot() {
    return {Py_tp_str, py::as_slot(&py::str_entry<Cls, &render_str<py::ValueOf<Cls>>>)};
}

} // namespace tessaroll::pymethods
