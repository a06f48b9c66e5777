// The Python class Cube3x3.
#pragma once

#include "binding.h"
#include "cube3x3/utils.h"

namespace tessaroll {

struct Cube3x3Class {
    using value_type = Cube3x3;
    static constexpr const char* name = "Cube3x3";
    static inline PyTypeObject* cached = nullptr;
    // Created once per process on first need, under the interpreter lock.
    static PyTypeObject* type();
};

} // namespace tessaroll
