// The Python class CubeBatch.
#pragma once

#include "binding.h"
#include "cubeBatch/mod.h"

namespace tessaroll {

struct CubeBatchClass {
    using value_type = CubeBatch;
    static constexpr const char* name = "CubeBatch";
    static inline PyTypeObject* cached = nullptr;
    // Created once per process on first need, under the interpreter lock.
    static PyTypeObject* type();
};

} // namespace tessaroll
