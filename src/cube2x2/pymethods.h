// The Python class Cube2x2: its traits; the class itself is set up in
// cube2x2/pymethods.cpp.
#pragma once

#include "cube2x2/utils.h"
#include "py/binding.h"

namespace tessaroll {

using Cube2x2Class = py::Class<Cube2x2, "Cube2x2">;
PyTypeObject* new_class_type(const Cube2x2*);

} // namespace tessaroll
