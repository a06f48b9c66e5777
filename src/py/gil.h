// The interpreter lock: releasing it for a stretch of pure C++ work, taking
// it back safely while the interpreter exits, and running signal handlers
// during long calls.
//
// Interpreter exit. Once finalization has begun, CPython (3.9 to 3.13) ends
// any other thread that tries to take the lock back with pthread_exit(): a
// forced unwind through our frames, which every noexcept entry point turns
// into an abort. So a thread never asks for the lock once the exit may have
// begun. At import the module registers an atexit callback, which runs on
// the exiting thread before finalization proper: it raises a process-wide
// flag, then, with the lock released, waits until no thread is between
// "checked the flag" and "holds the lock again" (those threads get the lock
// meanwhile, as nothing has been finalized yet). Any later thread that wants
// the lock back finds the flag and parks for good instead; the process is
// exiting, and such (daemon) threads are never joined. Its stack stays
// intact, so pool workers still finishing its call touch valid memory.
#pragma once

#include "py/py_ref.h"

namespace tessaroll::py {

// Take the lock back for `state`, which released it with PyEval_SaveThread();
// parks the thread forever instead if the interpreter is exiting and this is
// not the exiting thread.
void restore_thread(PyThreadState* state) noexcept;

// Register the exit callback with the `atexit` module (module execution).
void install_exit_guard();

// Run the handlers of pending signals (the lock held); throws ErrorAlreadySet
// when one raised (KeyboardInterrupt on Ctrl-C). Long calls run it now and
// then, so that they can be interrupted.
void check_signals();

// Releases the interpreter lock for its lifetime. The destructor takes it
// back (through restore_thread), also while an exception unwinds, so the
// boundary that translates the exception runs with the lock held. Nothing
// inside may touch Python objects.
class ReleasedGil {
public:
    ReleasedGil() noexcept : state_(PyEval_SaveThread()) {}
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
