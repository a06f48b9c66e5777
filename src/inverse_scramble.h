// The module function inverse_scramble.
#pragma once

#include "py/binding.h"

namespace tessaroll {

// Row for the module's execution step; static storage, as the function
// object created from it keeps the pointer.
PyMethodDef* inverse_scramble_method();

} // namespace tessaroll
