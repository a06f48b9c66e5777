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
#include <cstring>
#include <string>

namespace tessaroll::pymethods {

using py::Borrow;

// Immutable results are shared where a call would otherwise build the same
// small objects again: creating an object costs a round trip through PyPy's
// C-API emulation, far more than the call itself, and even CPython saves the
// calls. The shared objects are made on first use, under the interpreter
// lock, and kept for the life of the process like the classes.

// The Python ints 0 .. N-1.
template <std::size_t N>
const std::array<PyObject*, N>& small_ints() {
    static std::array<PyObject*, N> ints{};
    static bool ready = false;
    if (!ready) {
        std::array<py::Ref, N> made;
        for (std::size_t i = 0; i < N; ++i)
            made[i] = py::Ref::check(PyLong_FromSize_t(i));
        for (std::size_t i = 0; i < N; ++i)
            ints[i] = made[i].release();
        ready = true;
    }
    return ints;
}

// The (piece, orientation) tuple of every 5-bit slot field of a kind. Only
// 24 of the 32 occur in reachable states, but every field maps to its own
// correct pair.
template <unsigned PieceBits>
const std::array<PyObject*, pieces::kFieldValues>& pair_table() {
    static std::array<PyObject*, pieces::kFieldValues> table{};
    static bool ready = false;
    if (!ready) {
        const auto& ints = small_ints<(1u << PieceBits)>();
        std::array<py::Ref, pieces::kFieldValues> made;
        for (std::size_t f = 0; f < made.size(); ++f) {
            const auto pair = pieces::field_pair<PieceBits>(static_cast<std::uint8_t>(f));
            made[f] = py::Ref::check(PyTuple_Pack(2, ints[pair.piece], ints[pair.orientation]));
        }
        for (std::size_t f = 0; f < made.size(); ++f)
            table[f] = made[f].release();
        ready = true;
    }
    return table;
}

// A new list holding the given shared objects, in order. On PyPy appending
// is the cheapest way to fill a list from C; on CPython, setting the items
// of a sized list.
template <class Item>
py::Ref list_of(std::size_t n, Item&& item) {
#ifdef PYPY_VERSION
    py::Ref list = py::Ref::check(PyList_New(0));
    for (std::size_t i = 0; i < n; ++i)
        py::check_status(PyList_Append(list.get(), item(i)));
#else
    py::Ref list = py::Ref::check(PyList_New(static_cast<Py_ssize_t>(n)));
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* obj = item(i);
        Py_INCREF(obj);
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), obj);
    }
#endif
    return list;
}

// A new list of Python ints: the colour codes of every sticker.
template <Cube C>
py::Ref to_sticker_array(const C& cube) {
    const auto codes = cube.to_sticker_array_internal();
#ifdef PYPY_VERSION
    // Filling a list item by item through cpyext costs tens of nanoseconds
    // per item; list(bytes) is built natively.
    py::Ref bytes = py::Ref::check(PyBytes_FromStringAndSize(
        reinterpret_cast<const char*>(codes.data()), static_cast<Py_ssize_t>(codes.size())));
    return py::Ref::check(PySequence_List(bytes.get()));
#else
    constexpr std::size_t kCodes = 256; // every value the code type can hold
    static_assert(sizeof(codes[0]) == 1);
    const auto& ints = small_ints<kCodes>();
    return list_of(codes.size(), [&](std::size_t i) { return ints[codes[i]]; });
#endif
}

// A new list of the shared (piece, orientation) tuples of the word's slots.
template <std::size_t Slots, unsigned PieceBits>
py::Ref pair_list(std::uint64_t word) {
    const auto& table = pair_table<PieceBits>();
    return list_of(Slots, [&](std::size_t s) { return table[pieces::slot_field(word, s)]; });
}

inline py::Ref corner_list(std::uint64_t word) {
    return pair_list<pieces::kCornerSlots, pieces::kCornerPieceBits>(word);
}
inline py::Ref edge_list(std::uint64_t word) {
    return pair_list<pieces::kEdgeSlots, pieces::kEdgePieceBits>(word);
}

// A new str of text known to be ASCII, written straight into a compact str:
// no UTF-8 decoding, which on PyPy is most of the cost.
inline py::Ref known_ascii_str(const char* data, std::size_t size) {
    py::Ref str = py::Ref::check(PyUnicode_New(static_cast<Py_ssize_t>(size), 127));
    if (size) std::memcpy(PyUnicode_1BYTE_DATA(str.get()), data, size);
    return str;
}

// A new str of UTF-8 text, taking the ASCII path when it applies.
inline py::Ref utf8_str(const char* data, std::size_t size) {
    unsigned char high = 0;
    for (std::size_t i = 0; i < size; ++i)
        high |= static_cast<unsigned char>(data[i]);
    if (high & 0x80) {
        return py::Ref::check(PyUnicode_FromStringAndSize(data, static_cast<Py_ssize_t>(size)));
    }
    return known_ascii_str(data, size);
}

// The word as a 64-character str of '0' and '1'.
inline py::Ref binary_str(std::uint64_t word) {
    const auto digits = pieces::binary_digits(word);
    return known_ascii_str(digits.data(), digits.size());
}

// A new 2-tuple that takes over both references.
inline py::Ref pair_of(py::Ref first, py::Ref second) {
    py::Ref tuple = py::Ref::check(PyTuple_New(2));
    PyTuple_SET_ITEM(tuple.get(), 0, first.release());
    PyTuple_SET_ITEM(tuple.get(), 1, second.release());
    return tuple;
}

template <Cube C>
py::Ref render_str(const C& cube) {
    const std::string text = cube.render_ansi_internal();
    return utf8_str(text.data(), text.size());
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
