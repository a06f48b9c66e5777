// The module function get_next_states(cubes) and the successor array
// builder shared with CubeBatch.get_next_states().
#pragma once

#include "binding.h"
#include "cube/next_states.h"

namespace tessaroll {

// The module function's table row (static storage, as the function object
// created from it keeps a pointer).
PyMethodDef* get_next_states_def();

// Hand successor rows to NumPy without copying.
py::Ref to_numpy(StickerRows&& rows);

} // namespace tessaroll
