// Releasing the interpreter lock for a stretch of pure C++ work.
#pragma once

#include "py_ref.h"

namespace tessaroll::py {

// Releases the interpreter lock for its lifetime. The destructor takes it
// back, also while an exception unwinds, so the boundary that translates the
// exception runs with the lock held. Nothing inside may touch Python objects.
class ReleasedGil {
public:
    ReleasedGil() noexcept : state_(PyEval_SaveThread()) {}
    ~ReleasedGil() { PyEval_RestoreThread(state_); }
    ReleasedGil(const ReleasedGil&) = delete;
    ReleasedGil& operator=(const ReleasedGil&) = delete;

private:
    PyThreadState* state_;
};

} // namespace tessaroll::py
