// New Python objects for results: ints, strs, tuples and lists built from
// plain values, with the small immutable ones shared.
//
// Immutable results are shared where a call would otherwise build the same
// small objects again: creating an object costs a round trip through PyPy's
// C-API emulation, far more than the call itself, and even CPython saves the
// calls. The shared objects are made by the module's execution step and kept
// for the life of the process (globals.h).
#pragma once

#include "cube/pieces.h"
#include "py/globals.h"
#include "py/py_ref.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tessaroll::py {

inline Ref uint64_to_int(std::uint64_t v) {
    return Ref::check(PyLong_FromUnsignedLongLong(v));
}

// A new list holding the given shared objects, in order. On PyPy appending
// is the cheapest way to fill a list from C; on CPython, setting the items
// of a sized list.
template <class Item>
Ref list_of(std::size_t n, Item&& item) {
#ifdef PYPY_VERSION
    Ref list = Ref::check(PyList_New(0));
    for (std::size_t i = 0; i < n; ++i)
        check_status(PyList_Append(list.get(), item(i)));
#else
    Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(n)));
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* obj = item(i);
        Py_INCREF(obj);
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), obj);
    }
#endif
    return list;
}

// A new list of Python ints from byte codes (sticker colours).
template <std::size_t N>
Ref code_list(const std::array<std::uint8_t, N>& codes) {
#ifdef PYPY_VERSION
    // Filling a list item by item through cpyext costs tens of nanoseconds
    // per item; list(bytes) is built natively.
    Ref bytes = Ref::check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(codes.data()),
                                                     static_cast<Py_ssize_t>(N)));
    return Ref::check(PySequence_List(bytes.get()));
#else
    const auto& ints = globals.small_ints; // every value a code can hold
    return list_of(N, [&](std::size_t i) { return ints[codes[i]]; });
#endif
}

// The body of to_sticker_array, for any cube model.
template <class Cube>
Ref sticker_list(const Cube& cube) {
    return code_list(cube.to_sticker_array_internal());
}

// A new list of the shared (piece, orientation) tuples of the word's slots.
template <std::size_t Slots, unsigned PieceBits>
Ref pair_list(std::uint64_t word) {
    static_assert(PieceBits == pieces::kCornerPieceBits || PieceBits == pieces::kEdgePieceBits);
    const auto& table =
        PieceBits == pieces::kCornerPieceBits ? globals.corner_pairs : globals.edge_pairs;
    return list_of(Slots, [&](std::size_t s) { return table[pieces::slot_field(word, s)]; });
}

inline Ref corner_list(std::uint64_t word) {
    return pair_list<pieces::kCornerSlots, pieces::kCornerPieceBits>(word);
}
inline Ref edge_list(std::uint64_t word) {
    return pair_list<pieces::kEdgeSlots, pieces::kEdgePieceBits>(word);
}

// A new str of text known to be ASCII, written straight into a compact str:
// no UTF-8 decoding, which on PyPy is most of the cost.
inline Ref known_ascii_str(const char* data, std::size_t size) {
    Ref str = Ref::check(PyUnicode_New(static_cast<Py_ssize_t>(size), 127));
    if (size) std::memcpy(PyUnicode_1BYTE_DATA(str.get()), data, size);
    return str;
}

// A new str of UTF-8 text, taking the ASCII path when it applies.
inline Ref utf8_str(const char* data, std::size_t size) {
    unsigned char high = 0;
    for (std::size_t i = 0; i < size; ++i)
        high |= static_cast<unsigned char>(data[i]);
    if (high & 0x80) {
        return Ref::check(PyUnicode_FromStringAndSize(data, static_cast<Py_ssize_t>(size)));
    }
    return known_ascii_str(data, size);
}

// The word as a 64-character str of '0' and '1'.
inline Ref binary_str(std::uint64_t word) {
    const auto digits = pieces::binary_digits(word);
    return known_ascii_str(digits.data(), digits.size());
}

// A new 2-tuple that takes over both references.
inline Ref pair_of(Ref first, Ref second) {
    Ref tuple = Ref::check(PyTuple_New(2));
    PyTuple_SET_ITEM(tuple.get(), 0, first.release());
    PyTuple_SET_ITEM(tuple.get(), 1, second.release());
    return tuple;
}

} // namespace tessaroll::py
