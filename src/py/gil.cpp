// Taking the interpreter lock back during interpreter exit, and running
// signal handlers during long calls. See gil.h for the exit protocol.
#include "py/gil.h"

#include "py/binding.h"

#include <pthread.h>
#include <unistd.h>

namespace tessaroll::py {

namespace {

// Plain POSIX objects with static initialisers: usable from the first import
// on, with nothing to construct or destroy.
pthread_mutex_t exit_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t exit_cv = PTHREAD_COND_INITIALIZER;
bool exiting = false;                    // under exit_mutex
PyThreadState* exiting_thread = nullptr; // under exit_mutex
std::size_t restoring = 0;               // threads past the flag check, not yet holding the lock
bool atfork_registered = false;          // under the interpreter lock

// A fork() made while another thread held exit_mutex would leave it locked
// in the child; and threads that were restoring in the parent do not exist
// there.
void before_fork() noexcept {
    pthread_mutex_lock(&exit_mutex);
}
void after_fork_parent() noexcept {
    pthread_mutex_unlock(&exit_mutex);
}
void after_fork_child() noexcept {
    restoring = 0;
    pthread_mutex_unlock(&exit_mutex);
}

// Runs on the exiting thread, from atexit, before finalization proper.
PyObject* on_exit(PyObject*, PyObject*) noexcept {
    return boundary<PyObject*>(nullptr, []() -> PyObject* {
        pthread_mutex_lock(&exit_mutex);
        exiting = true;
        exiting_thread = PyThreadState_Get();
        pthread_mutex_unlock(&exit_mutex);
        PyThreadState* self = PyEval_SaveThread();
        pthread_mutex_lock(&exit_mutex);
        while (restoring != 0)
            pthread_cond_wait(&exit_cv, &exit_mutex);
        pthread_mutex_unlock(&exit_mutex);
        PyEval_RestoreThread(self);
        Py_RETURN_NONE;
    });
}

PyMethodDef on_exit_def = {"_tessaroll_exit_guard", as_cfunction(&on_exit), METH_NOARGS, nullptr};

} // namespace

[[noreturn]] void park_forever() noexcept {
    for (;;)
        pause();
}

void restore_thread(PyThreadState* state) noexcept {
    pthread_mutex_lock(&exit_mutex);
    if (exiting && state != exiting_thread) {
        pthread_mutex_unlock(&exit_mutex);
        park_forever();
    }
    ++restoring;
    pthread_mutex_unlock(&exit_mutex);
    PyEval_RestoreThread(state);
    pthread_mutex_lock(&exit_mutex);
    if (--restoring == 0 && exiting) pthread_cond_broadcast(&exit_cv);
    pthread_mutex_unlock(&exit_mutex);
}

void install_exit_guard() {
    if (!atfork_registered) {
        if (pthread_atfork(before_fork, after_fork_parent, after_fork_child) != 0) {
            throw std::bad_alloc();
        }
        atfork_registered = true;
    }
    Ref atexit = Ref::check(PyImport_ImportModule("atexit"));
    Ref callback = Ref::check(PyCFunction_NewEx(&on_exit_def, nullptr, nullptr));
    Ref result = Ref::check(PyObject_CallMethod(atexit.get(), "register", "O", callback.get()));
    // A new interpreter in the same process (an embedding application may
    // finalize and initialize again) starts with the flag down.
    pthread_mutex_lock(&exit_mutex);
    exiting = false;
    exiting_thread = nullptr;
    pthread_mutex_unlock(&exit_mutex);
}

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
    py::check_signals();
}

} // namespace tessaroll::py
