// The Python class Cube3x3: its traits; the class itself is set up in
// cube3x3/pymethods.cpp.
#pragma once

#include "cube3x3/utils.h"
#include "py/binding.h"

namespace tessaroll {

using Cube3x3Class = py::Class<Cube3x3, "Cube3x3">;
PyTypeObject* new_class_type(const Cube3x3*);

} // namespace tessaroll
