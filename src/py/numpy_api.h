// NumPy's C array interface, imported lazily: the module never imports numpy
// until a batch operation needs it, so single cubes work without numpy.
//
// Every file that uses the array API includes this header instead of the
// NumPy headers. They all share one API table (PY_ARRAY_UNIQUE_SYMBOL);
// numpy_api.cpp defines it and fills it in `numpy::ensure()`.
#pragma once

#include "py/binding.h"
#include "py/py_ref.h"

#include <cstddef>
#include <cstdint>

#define PY_ARRAY_UNIQUE_SYMBOL tessaroll_ARRAY_API
#ifndef TESSAROLL_NUMPY_DEFINE_API
#define NO_IMPORT_ARRAY
#endif
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

namespace tessaroll::numpy {

// Import numpy and fill the API table on first use. Raises (through
// py::throw_error) ImportError when numpy is missing, as "{caller} needs
// NumPy: pip install numpy" (`caller` names the entry, e.g.
// "CubeBatch.scramble()"), or when it is unusable.
void ensure(const char* caller);

// A read-only view of a 1-D array's elements, keeping the array alive.
template <class T>
struct ArrayView {
    py::Ref array;
    const T* data = nullptr;
    std::size_t size = 0;
    bool block = true; // contiguous and aligned, or empty

    // ValueError naming `name` unless the elements form one aligned block.
    void require_block(const char* name) const;
};

// The checks behind the argument converters: `obj` must be an ndarray of
// exactly one dimension whose dtype is equivalent to `typenum` in native
// byte order; otherwise TypeError. `caller` is passed on to ensure().
ArrayView<std::int64_t> int64_vector(PyObject* obj, const char* caller);
ArrayView<std::size_t> uintp_vector(PyObject* obj, const char* caller);

// A new, unfilled, C-contiguous (rows, cols) int64 array, allocated by NumPy
// and owned by the array (flags.owndata): NumPy reports its buffers to the
// host's memory accounting itself, and asks for huge pages for large ones.
// `rows * cols * 8` must fit ptrdiff_t. MemoryError when it cannot be made.
struct Int64Matrix {
    py::Ref array;
    std::int64_t* data = nullptr;
};
Int64Matrix new_int64_matrix(std::size_t rows, std::size_t cols);

} // namespace tessaroll::numpy

namespace tessaroll::py {

// Argument converters for the binding layer (see binding.h); `Caller` is
// the entry's full name, for the ImportError when numpy is missing.
template <Name Caller>
struct AsInt64Vector {
    using type = numpy::ArrayView<std::int64_t>;
    static type convert(PyObject* obj) { return numpy::int64_vector(obj, Caller.s); }
};
template <Name Caller>
struct AsUintpVector {
    using type = numpy::ArrayView<std::size_t>;
    static type convert(PyObject* obj) { return numpy::uintp_vector(obj, Caller.s); }
};

} // namespace tessaroll::py
