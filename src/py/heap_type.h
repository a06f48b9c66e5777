// Making a heap type from its PyType_Spec. On CPython that is all; PyPy's
// cpyext honours less of a PyType_Spec, and the stand-ins in heap_type.cpp make
// the class behave as on CPython: no subclasses, no new attributes, no
// __class__ assignment, no pickling, and methods that carry their docs.
#pragma once

#include "py/binding.h"

namespace tessaroll::py {

// The new type; create_type (binding.cpp) records it.
Ref new_heap_type(PyType_Spec& spec);

} // namespace tessaroll::py
