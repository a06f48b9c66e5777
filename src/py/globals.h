// The process-wide Python objects the module keeps: made once by the module's
// execution step, under the interpreter lock and before any entry can run,
// and kept for the life of the process. No call creates any of them on first
// use, so none relies on the interpreter lock to do so safely.
//
// NumPy's API table is not here: NumPy's own header macros read it under its
// own name, and NumPy is imported on first need (numpy_api.cpp).
#pragma once

#include "cube/pieces.h"
#include "py/py_ref.h"

#include <array>
#include <cstddef>

namespace tessaroll::py {

// A class made by create_type, and the PyType_Spec it was made from.
struct ClassRecord {
    PyTypeObject* type;
    const PyType_Spec* spec;
};

inline constexpr std::size_t kMaxClasses = 4;

struct Globals {
    // tessaroll.InternalError (binding.h).
    PyObject* internal_error = nullptr;
    // The Python ints 0..255: every sticker colour code and piece number.
    std::array<PyObject*, 256> small_ints{};
    // The (piece, orientation) tuple of every slot field, by kind (results.h).
    std::array<PyObject*, pieces::kFieldValues> corner_pairs{};
    std::array<PyObject*, pieces::kFieldValues> edge_pairs{};
    // The classes create_type made, in creation order.
    std::array<ClassRecord, kMaxClasses> classes{};
    std::size_t class_count = 0;
#ifdef PYPY_VERSION
    // The compiled `None` that PyPy's signal check evaluates, and the
    // globals it runs in (gil.cpp).
    PyObject* signal_check_code = nullptr;
    PyObject* signal_check_globals = nullptr;
#endif
};

extern Globals globals;

// Make the objects above (the classes are added by create_type); the second
// and later calls, from a repeated import, find them made. Either all are
// made or, on failure, none.
void make_globals();

} // namespace tessaroll::py
