// The module function get_next_states(cubes).
#pragma once

#include "py/binding.h"

namespace tessaroll {

// The module function's table row (static storage, as the function object
// created from it keeps a pointer).
PyMethodDef* get_next_states_def();

} // namespace tessaroll
