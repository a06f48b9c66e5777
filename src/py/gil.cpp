// Running signal handlers during long calls, with the interpreter lock held
// or taken back briefly.
#include "py/gil.h"

#include "py/binding.h"

namespace tessaroll::py {

// PyPy's PyErr_CheckSignals does nothing: its handlers run only between
// bytecodes, so there a compiled `None` is evaluated instead.
void check_signals() {
#ifdef PYPY_VERSION
    static PyObject* globals = nullptr; // created under the interpreter lock, never freed
    static PyObject* code = nullptr;
    if (!code) {
        Ref dict = Ref::check(PyDict_New());
        check_status(PyDict_SetItemString(dict.get(), "__builtins__", PyEval_GetBuiltins()));
        code = Ref::check(Py_CompileString("None", "<signals>", Py_eval_input)).release();
        globals = dict.release();
    }
    Ref result = Ref::check(PyEval_EvalCode(code, globals, globals));
#else
    if (PyErr_CheckSignals() < 0) throw_error();
#endif
}

void ReleasedGil::check_signals() {
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
