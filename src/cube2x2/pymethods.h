// The Python class Cube2x2: its traits, and what only the 2x2 model has: the
// rows to_binary, get_corners and to_sticker_array, and the read-only
// attribute `state`. The class is set up, with the rows both cube classes
// share, in cube_classes.cpp.
#pragma once

#include "cube2x2/utils.h"
#include "py/binding.h"

namespace tessaroll {

using Cube2x2Class = py::Class<Cube2x2, "Cube2x2">;
// Set up in cube_classes.cpp, from own_parts(const Cube2x2*) in
// cube2x2/pymethods.cpp and the rows both cube classes share.
PyTypeObject* new_class_type(const Cube2x2*);

} // namespace tessaroll
