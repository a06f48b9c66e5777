// The module function get_next_states(cubes).
#pragma once

#include "py/binding.h"

namespace tessaroll {

// Row for the module's execution step; static storage, as the function
// object created from it keeps the pointer.
PyMethodDef* get_next_states_method();

} // namespace tessaroll
