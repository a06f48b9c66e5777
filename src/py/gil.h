// The interpreter lock: releasing it for a stretch of pure C++ work, taking
// it back (safely while the interpreter exits: see interpreter_exit.h), and
// running signal handlers during long calls.
#pragma once

#include "py/interpreter_exit.h"
#include "py/py_ref.h"

namespace tessaroll::py {

// Run the handlers of pending signals (the lock held); throws ErrorAlreadySet
// when one raised (KeyboardInterrupt on Ctrl-C). Long calls run it now and
// then, so that they can be interrupted. Does nothing inside a handler that
// another check on this thread is running (gil.cpp says why).
void check_signals();

// Releases the interpreter lock for its lifetime. The destructor takes it
// back (through restore_thread), also while an exception unwinds, so the
// boundary that translates the exception runs with the lock held. Nothing
// inside may touch Python objects. Before releasing, the exit hook is
// registered again if atexit has dropped it (which may throw).
class ReleasedGil {
public:
    ReleasedGil() : state_((rearm_exit_guard(), PyEval_SaveThread())) {}
    ~ReleasedGil() { restore_thread(state_); }
    ReleasedGil(const ReleasedGil&) = delete;
    ReleasedGil& operator=(const ReleasedGil&) = delete;

    // check_signals() from inside the released stretch: takes the lock back
    // briefly, runs pending signal handlers, releases it again, and throws
    // ErrorAlreadySet when a handler raised (the exception stays pending).
    void check_signals();

private:
    PyThreadState* state_;
};

} // namespace tessaroll::py
