// Owning references to Python objects, and the C++ exception that carries a
// pending Python error up to the single exception boundary (binding.h).
#pragma once

#include <cstddef>
#include <cstdint>

// CPython's tracemalloc.h declares these two without a C linkage block, so a
// C++ caller would look for mangled names. Declared first with C linkage, the
// header's own declarations inherit it. (PyPy's header maps the names onto
// its own entry points; these first declarations then go unused.)
extern "C" int PyTraceMalloc_Track(unsigned int domain, std::uintptr_t ptr, std::size_t size);
extern "C" int PyTraceMalloc_Untrack(unsigned int domain, std::uintptr_t ptr);

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tessaroll::py {

// Thrown after a Python exception has been set; the boundary returns the
// entry's error value and leaves the exception pending for the interpreter.
struct ErrorAlreadySet {};

[[noreturn]] inline void throw_error() {
    throw ErrorAlreadySet{};
}

// A strong reference, released on scope exit. Never holds a borrowed pointer.
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    // Steal a result of the C API; a null result means an exception is set.
    static Ref check(PyObject* p) {
        if (!p) throw_error();
        return Ref(p);
    }

    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

inline void check_status(int status) {
    if (status < 0) throw_error();
}

// Take the pending exception, normalised and with its traceback, as a new
// reference (null when none is pending); nothing stays pending.
inline Ref take_pending() noexcept {
#if PY_VERSION_HEX >= 0x030C0000 && !defined(PYPY_VERSION)
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref type_ref = Ref::steal(type);
    Ref tb_ref = Ref::steal(tb);
    Ref exc = Ref::steal(value);
    if (exc && tb) PyException_SetTraceback(exc.get(), tb);
    return exc;
#endif
}

// Make `exc`, as take_pending() gave it, the pending exception again (none
// when it is null), with its traceback.
inline void restore_pending(Ref exc) noexcept {
#if PY_VERSION_HEX >= 0x030C0000 && !defined(PYPY_VERSION)
    PyErr_SetRaisedException(exc.release());
#else
    if (!exc) {
        PyErr_Clear();
        return;
    }
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc.get()));
    Py_INCREF(type);
    PyObject* tb = PyException_GetTraceback(exc.get()); // new reference, or null
    PyErr_Restore(type, exc.release(), tb);             // steals all three
#endif
}

// Keeps the pending exception aside while it lives, so that code that may
// raise and clear exceptions can run, and puts it back when it ends,
// dropping whatever that code left pending.
class KeepPending {
public:
    KeepPending() noexcept : exc_(take_pending()) {}
    ~KeepPending() {
        PyErr_Clear();
        restore_pending(std::move(exc_));
    }
    KeepPending(const KeepPending&) = delete;
    KeepPending& operator=(const KeepPending&) = delete;

private:
    Ref exc_;
};

} // namespace tessaroll::py
