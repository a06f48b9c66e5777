// The Python class Cube3x3: its traits, and what only the 3x3 model has: the
// rows to_binary_corners, to_binary_edges, to_binary, get_corners, get_edges
// and to_sticker_array, and the read-only attribute `corners`. The class is
// set up, with the rows both cube classes share, in cube_classes.cpp.
#pragma once

#include "cube3x3/utils.h"
#include "py/binding.h"

namespace tessaroll {

using Cube3x3Class = py::Class<Cube3x3, "Cube3x3">;
py::OwnParts own_parts(const Cube3x3*); // cube3x3/pymethods.cpp
// Set up in cube_classes.cpp, from own_parts(const Cube3x3*) in
// cube3x3/pymethods.cpp and the rows both cube classes share.
PyTypeObject* new_class_type(const Cube3x3*);

} // namespace tessaroll
