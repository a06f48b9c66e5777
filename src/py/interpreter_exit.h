// The interpreter-exit protocol: how a thread that released the interpreter
// lock for batch work takes it back safely while the interpreter exits.
//
// Which interpreters need it. CPython 3.9 to 3.13 end any thread other than
// the exiting one that asks for the lock once finalization has begun, with
// pthread_exit(): a forced unwind through our frames, which every noexcept
// entry point (and the destructor that takes the lock back) turns into an
// abort of the whole process. CPython 3.14 parks such a thread itself, and
// PyPy's exit does not stop it with an unwind; there the protocol is kept
// because it does no harm (the exit test runs on PyPy as well).
//
// The protocol. Finalization proper starts right after the atexit callbacks
// have run, and nothing before it stops other threads: they may take the
// lock, and an atexit callback may well wait for one of them (stop a worker
// and join it). So the protocol acts only once every callback has run. At
// import the module registers an atexit callback that does nothing but hold
// a capsule; atexit drops its callbacks after running them all, and the
// capsule's destructor is the hook. If the interpreter is really exiting
// (the threading module, where imported, has stopped the main thread, which
// it does before atexit runs; without it, no Python code is running the
// callbacks: see interpreter_exit.cpp), the hook raises a process-wide flag
// on the exiting thread, then, with the lock released, waits until no thread
// is between "checked the flag" and "holds the lock again" (those get the
// lock meanwhile, as nothing is finalized yet). Any later thread that wants
// the lock back finds the flag and parks for good instead: it could not have
// come back anyway, and such (daemon) threads are never joined. Its stack
// stays intact, so pool workers still finishing its call touch valid memory.
//
// When the callbacks are dropped while the program goes on
// (atexit._run_exitfuncs(), atexit._clear()), no flag is raised; the next
// release of the lock registers the callback again.
//
// A forced unwind that still reaches an entry point (say, Python code run by
// an argument conversion in a thread that takes the lock the interpreter's
// own way) is caught by py::boundary, which parks the thread the same way.
#pragma once

#include "py/py_ref.h"

namespace tessaroll::py {

// Take the lock back for `state`, which released it with PyEval_SaveThread();
// parks the thread forever instead if the interpreter is exiting and this is
// not the exiting thread.
void restore_thread(PyThreadState* state) noexcept;

// Register the exit hook with the `atexit` module (module execution), and
// register it again if it has been dropped while the interpreter lives (the
// lock held, before a release).
void install_exit_guard();
void rearm_exit_guard();

// Blocks the calling thread for good.
[[noreturn]] void park_forever() noexcept;

} // namespace tessaroll::py
