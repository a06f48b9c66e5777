// Running signal handlers during long calls, with the interpreter lock held
// or taken back briefly.
#include "py/gil.h"

#include "py/binding.h"

namespace tessaroll::py {

namespace {

// Signal checks running on this thread (only threads that run Python code
// touch it). A handler that a check runs may itself make a long call, whose
// checks would run the next handler inside it, and so on: a repeating timer
// whose handler makes such a call nests through C frames without bound,
// until PyPy's C-API emulation runs out of stack and crashes. So a check
// that finds another one running on its thread runs no handler; signals
// that arrive meanwhile are handled once that handler's call has returned,
// by Python itself at the handler's next bytecode, where nesting is Python's
// own and its recursion limit bounds it.
thread_local unsigned t_checks_running = 0;

class CheckRunning {
public:
    CheckRunning() noexcept { ++t_checks_running; }
    ~CheckRunning() { --t_checks_running; }
    CheckRunning(const CheckRunning&) = delete;
    CheckRunning& operator=(const CheckRunning&) = delete;
};

} // namespace

// PyPy's PyErr_CheckSignals does nothing: its handlers run only between
// bytecodes, so there a compiled `None` is evaluated instead.
void check_signals() {
    if (t_checks_running != 0) return;
    const CheckRunning running;
#ifdef PYPY_VERSION
    Ref result = Ref::check(PyEval_EvalCode(globals.signal_check_code, globals.signal_check_globals,
                                            globals.signal_check_globals));
#else
    if (PyErr_CheckSignals() < 0) throw_error();
#endif
}

void ReleasedGil::check_signals() {
    // Inside a handler's call: nothing to run, so the lock is not taken.
    if (t_checks_running != 0) return;
    restore_thread(state_);
    // Released again on every path; a handler's exception stays pending
    // for the thread until ~ReleasedGil has taken the lock back.
    struct Resave {
        ReleasedGil& gil;
        ~Resave() { gil.state_ = PyEval_SaveThread(); }
    } resave{*this};
    // The callbacks may have been dropped since this stretch began.
    rearm_exit_guard();
    py::check_signals();
}

} // namespace tessaroll::py
