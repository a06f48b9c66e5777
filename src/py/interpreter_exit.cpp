// The interpreter-exit protocol; interpreter_exit.h says why and when.
#include "py/interpreter_exit.h"

#include "cube/at_fork.h"
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
// Whether atexit holds our callback; under the interpreter lock, like every
// use of it (the hook, module execution, and rearm_exit_guard, which runs
// before the lock is released and after it is taken back).
bool armed = false;

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

// Whether the interpreter is exiting rather than running atexit's callbacks
// on request (atexit._run_exitfuncs()). With threading imported, its record
// tells: at exit it has stopped the main thread before atexit runs. Without
// it, the caller does: at exit the interpreter runs the callbacks itself,
// once the main module has returned, so no Python frame is executing on this
// thread (CPython and PyPy alike); a call on request comes from Python code,
// whose frame is.
bool really_exiting() noexcept {
    KeepPending keep;
    PyObject* modules = PyImport_GetModuleDict(); // borrowed
    PyObject* threading = PyDict_GetItemString(modules, "threading");
    if (!threading) return PyEval_GetFrame() == nullptr;
    Ref module = Ref::borrow(threading);
    Ref main = Ref::steal(PyObject_CallMethod(module.get(), "main_thread", nullptr));
    if (!main) return true;
    Ref alive = Ref::steal(PyObject_CallMethod(main.get(), "is_alive", nullptr));
    return !alive || PyObject_IsTrue(alive.get()) == 0;
}

// The hook: atexit has run every callback and drops them, ours last or not.
void on_callbacks_dropped(PyObject*) noexcept {
    armed = false;
    if (!really_exiting()) return;
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
}

// The registered callback itself does nothing: it only carries the capsule.
PyObject* on_exit(PyObject*, PyObject*) noexcept {
    Py_RETURN_NONE;
}

PyMethodDef on_exit_def = {"_tessaroll_exit_guard", as_cfunction(&on_exit), METH_NOARGS, nullptr};

void register_hook() {
    Ref atexit = Ref::check(PyImport_ImportModule("atexit"));
    Ref capsule =
        Ref::check(PyCapsule_New(&on_exit_def, "tessaroll._exit_guard", &on_callbacks_dropped));
    Ref callback = Ref::check(PyCFunction_NewEx(&on_exit_def, capsule.get(), nullptr));
    Ref result = Ref::check(PyObject_CallMethod(atexit.get(), "register", "O", callback.get()));
    armed = true;
}

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
        register_at_fork(before_fork, after_fork_parent, after_fork_child);
        atfork_registered = true;
    }
    // A new interpreter in the same process (an embedding application may
    // finalize and initialize again) starts with the flag down.
    pthread_mutex_lock(&exit_mutex);
    exiting = false;
    exiting_thread = nullptr;
    pthread_mutex_unlock(&exit_mutex);
    register_hook();
}

void rearm_exit_guard() {
    if (armed) return;
    pthread_mutex_lock(&exit_mutex);
    const bool late = exiting;
    pthread_mutex_unlock(&exit_mutex);
    if (!late) register_hook();
}

} // namespace tessaroll::py
