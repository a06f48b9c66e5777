// New Python objects for results: ints, strs, tuples and lists built from
// plain values, with the small immutable ones shared.
//
// Immutable results are shared where a call would otherwise build the same
// small objects again: creating an object costs a round trip through PyPy's
// C-API emulation, far more than the call itself, and even CPython saves the
// calls. The shared objects are made on first use, under the interpreter
// lock, and kept for the life of the process like the classes.
#pragma once

#include "cube/pieces.h"
#include "py/py_ref.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tessaroll::py {

inline Ref uint64_to_int(std::uint64_t v) {
    return Ref::check(PyLong_FromUnsignedLongLong(v));
}

// The Python ints 0 .. N-1.
template <std::size_t N>
const std::array<PyObject*, N>& small_ints() {
    static std::array<PyObject*, N> ints{};
    static bool ready = false;
    if (!ready) {
        std::array<Ref, N> made;
        for (std::size_t i = 0; i < N; ++i)
            made[i] = Ref::check(PyLong_FromSize_t(i));
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
        std::array<Ref, pieces::kFieldValues> made;
        for (std::size_t f = 0; f < made.size(); ++f) {
            const auto pair = pieces::field_pair<PieceBits>(static_cast<std::uint8_t>(f));
            made[f] = Ref::check(PyTuple_Pack(2, ints[pair.piece], ints[pair.orientation]));
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
    const auto& ints = small_ints<256>(); // every value a code can hold
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
    const auto& table = pair_table<PieceBits>();
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
