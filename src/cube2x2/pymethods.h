// The Python class Cube2x2.
#pragma once

#include "binding.h"
#include "cube2x2/utils.h"

namespace tessaroll {

struct Cube2x2Class {
    using value_type = Cube2x2;
    static constexpr const char* name = "Cube2x2";
    static inline PyTypeObject* cached = nullptr;
    // Created once per process on first need, under the interpreter lock.
    static PyTypeObject* type();
};

} // namespace tessaroll
