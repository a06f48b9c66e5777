// The binding layer: how every Python-callable entry of the module is built.
//
// An entry is declared as a parameter table plus a body; the templates below
// generate the `noexcept` C function the interpreter calls. Each generated
// entry runs the same fixed sequence:
//
//   1. bind positional and keyword arguments to the parameter table;
//   2. check that `self` is an instance of the method's class;
//   3. take the shared or exclusive borrow of `self`;
//   4. convert each bound argument, in parameter order;
//   5. run the body;
//   6. release the borrow (RAII, so on every path).
//
// C++ exceptions never cross into the interpreter: `boundary` is the one
// place where they become Python exceptions. A body signals "a Python error
// is already set" by throwing py::ErrorAlreadySet.
#pragma once

#include "py/globals.h"
#include "py/interpreter_exit.h"
#include "py/py_ref.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cxxabi.h>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace tessaroll::py {

// ---------------------------------------------------------------------------
// Errors

// Set `type` with `message` and unwind to the boundary.
[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise(PyObject* type, const std::string& message);
// TypeError "'{type of obj}' object cannot be converted to '{target}'".
[[noreturn]] void raise_conversion(PyObject* obj, const char* target);
// The class for broken invariants, tessaroll.InternalError, is derived
// directly from BaseException so that `except Exception` does not swallow it
// (globals.h).

// Turn the exception in flight into a pending Python exception. Only
// `boundary` calls this, from inside its catch handler.
void translate_exception() noexcept;

// The single exception boundary. Every entry point's body runs inside it.
// A forced unwind is how the interpreter, while exiting, ends a thread that
// asks for the lock (pthread_exit, say from Python code that an argument
// conversion ran). It must not be swallowed, and cannot leave a noexcept
// entry; the thread is parked instead, as it would have been ended anyway.
template <class R, class F>
R boundary(R error_value, F&& f) noexcept {
    try {
        return f();
    }
#if defined(__GLIBCXX__)
    catch (abi::__forced_unwind&) {
        park_forever();
    }
#endif
    catch (...) {
        translate_exception();
        return error_value;
    }
}

// ---------------------------------------------------------------------------
// Borrow flags
//
// One machine word per instance: 0 free, n > 0 shared borrows, all ones one
// exclusive borrow. Every entry takes its borrow with the interpreter lock
// held, but a shared holder may release the lock (CubeBatch.get_next_states),
// so another thread can race on the counter: hence atomics. Taking uses
// acquire so the taker sees the state the previous exclusive holder wrote;
// releasing uses release so the next taker sees ours. The word is size_t so
// it is one machine word on 32-bit targets too.

using BorrowFlag = std::atomic<std::size_t>;
inline constexpr std::size_t kExclusiveBorrow = std::numeric_limits<std::size_t>::max();

enum class Borrow { shared, exclusive };

template <Borrow B>
class BorrowGuard;

template <>
class BorrowGuard<Borrow::shared> {
public:
    explicit BorrowGuard(BorrowFlag& flag) : flag_(flag) {
        std::size_t seen = flag_.load(std::memory_order_relaxed);
        do {
            if (seen == kExclusiveBorrow) raise(PyExc_RuntimeError, "Already mutably borrowed");
        } while (!flag_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                              std::memory_order_relaxed));
    }
    ~BorrowGuard() { flag_.fetch_sub(1, std::memory_order_release); }
    BorrowGuard(const BorrowGuard&) = delete;
    BorrowGuard& operator=(const BorrowGuard&) = delete;

private:
    BorrowFlag& flag_;
};

template <>
class BorrowGuard<Borrow::exclusive> {
public:
    explicit BorrowGuard(BorrowFlag& flag) : flag_(flag) {
        std::size_t expected = 0;
        if (!flag_.compare_exchange_strong(expected, kExclusiveBorrow, std::memory_order_acquire,
                                           std::memory_order_relaxed)) {
            raise(PyExc_RuntimeError, "Already borrowed");
        }
    }
    ~BorrowGuard() { flag_.store(0, std::memory_order_release); }
    BorrowGuard(const BorrowGuard&) = delete;
    BorrowGuard& operator=(const BorrowGuard&) = delete;

private:
    BorrowFlag& flag_;
};

// ---------------------------------------------------------------------------
// Instances
//
// Every class stores its C++ value inline after the object header, next to
// the borrow flag. Instances hold no references to other Python objects, so
// the types are not tracked by the cyclic collector.
//
// `made` is set to kMade by make_instance, last, once `borrow` and `value`
// exist. The host allocates instances zero-filled, and PyPy can create one
// without calling the constructor slot at all (object.__new__(T), or
// assigning T to a plain object's __class__): its `made` stays 0, every entry
// refuses it, and deallocation skips destroying what was never constructed.

inline constexpr std::uintptr_t kMade = 0x600DC0DE; // any value but 0; fits 32 bits

template <class T>
struct Instance {
    PyObject_HEAD std::uintptr_t made;
    BorrowFlag borrow;
    T value;
};

// A compile-time string, for names given as template arguments.
template <std::size_t N>
struct Name {
    char s[N]{};
    constexpr Name(const char (&a)[N]) { std::copy_n(a, N, s); }
};

// A class is described by its traits: the C++ value its instances hold, its
// name (as messages and "builtins.{name}" spell it), and its type object,
// made by the module's execution step (make_class below) and kept for the
// process. Every entry checks its receiver against `cached`.
template <class T, Name N>
struct Class {
    using value_type = T;
    static constexpr const char* name = N.s;
    static inline PyTypeObject* cached = nullptr;
    static PyTypeObject* type() { return cached; }
};

// Make the class's type, by the overload new_class_type(const T*) that the
// class's own files declare and define (found through T's namespace), once
// per process: a repeated import finds it made.
template <class Cls>
PyTypeObject* make_class() {
    if (!Cls::cached)
        Cls::cached = new_class_type(static_cast<const typename Cls::value_type*>(nullptr));
    return Cls::cached;
}

template <class Cls>
using ValueOf = typename Cls::value_type;

[[noreturn]] void raise_not_instance(PyObject* obj, const char* class_name);
[[noreturn]] void raise_not_made(const char* class_name);

template <class Cls>
Instance<ValueOf<Cls>>& instance_of(PyObject* self) {
    PyTypeObject* tp = Cls::cached;
    if (!tp || !PyObject_TypeCheck(self, tp)) raise_not_instance(self, Cls::name);
    auto& inst = *reinterpret_cast<Instance<ValueOf<Cls>>*>(self);
    if (inst.made != kMade) [[unlikely]]
        raise_not_made(Cls::name);
    return inst;
}

// Allocate a new instance of the class holding `value`, through the type's
// allocator, with the borrow flag at 0.
template <class Cls>
Ref make_instance(PyTypeObject* type, ValueOf<Cls>&& value) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    Ref obj = Ref::check(alloc(type, 0));
    auto* inst = reinterpret_cast<Instance<ValueOf<Cls>>*>(obj.get());
    new (&inst->borrow) BorrowFlag(0);
    new (&inst->value) ValueOf<Cls>(std::move(value));
    inst->made = kMade;
    return obj;
}

template <class Cls>
Ref make_instance(ValueOf<Cls> value) {
    return make_instance<Cls>(Cls::type(), std::move(value));
}

template <class Cls>
void dealloc_entry(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    auto* inst = reinterpret_cast<Instance<ValueOf<Cls>>*>(self);
    if (inst->made == kMade) {
        std::destroy_at(&inst->value);
        std::destroy_at(&inst->borrow);
    }
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
    free_fn(self);
    // Instances of heap types own a reference to their type.
    Py_DECREF(reinterpret_cast<PyObject*>(tp));
}

// ---------------------------------------------------------------------------
// Parameters and argument conversion

// A converter is a struct with `using type = ...` and
// `static type convert(PyObject*)`, raising through throw_error().

// Signed 64-bit integer, through __index__.
struct AsInt64 {
    using type = std::int64_t;
    static type convert(PyObject* obj);
};
// Unsigned machine-size integer (size_t: 32 bits on i386).
struct AsSize {
    using type = std::size_t;
    static type convert(PyObject* obj);
};
// Signed machine-size integer.
struct AsSsize {
    using type = Py_ssize_t;
    static type convert(PyObject* obj);
};
// A str, read as its UTF-8 encoding. The bytes live in the str object's own
// cache, so the view is valid while the argument is alive (the whole call).
struct Utf8 {
    const char* data;
    std::size_t size;
    std::string_view view() const noexcept { return {data, size}; }
};
struct AsStr {
    using type = Utf8;
    static type convert(PyObject* obj);
};
// A list (or subclass), borrowed from the caller's arguments.
struct AsList {
    using type = PyObject*;
    static type convert(PyObject* obj);
};

template <Name N, class Conv>
struct Required {
    static constexpr const char* name = N.s;
    static constexpr bool required = true;
    using conv = Conv;
};

template <Name N, class Conv, auto Default>
struct Optional {
    static constexpr const char* name = N.s;
    static constexpr bool required = false;
    using conv = Conv;
    static constexpr typename Conv::type default_value = Default;
};

struct ParamInfo {
    const char* name;
    bool required;
};

// What the binder needs to know to bind and to word its messages.
struct Signature {
    const char* owner; // class name, or nullptr for a module function
    const char* name;  // method name, "__new__" for a constructor
    const ParamInfo* params;
    std::size_t count;
};

template <class... P>
inline constexpr std::array<ParamInfo, sizeof...(P)> kParamInfo{{{P::name, P::required}...}};

// Fill bound[0..count) with borrowed argument pointers (nullptr where a
// parameter received nothing) or raise the binding TypeError.
void bind_vector(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 PyObject** bound);
void bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** bound);

// Re-raise a pending TypeError as "argument '{name}': {message}", keeping the
// original's cause; any other pending exception is left as it is.
[[noreturn]] void reraise_conversion(const char* name);

template <class P>
typename P::conv::type convert_param(PyObject* obj) {
    if constexpr (!P::required) {
        if (!obj) return P::default_value;
    }
    try {
        return P::conv::convert(obj);
    } catch (const ErrorAlreadySet&) {
        reraise_conversion(P::name);
    }
}

// Braced initialisation evaluates left to right, so arguments are converted
// in parameter order.
template <class... P, std::size_t... I>
auto convert_all(PyObject* const* bound, std::index_sequence<I...>) {
    return std::tuple<typename P::conv::type...>{convert_param<P>(bound[I])...};
}

// ---------------------------------------------------------------------------
// Results

template <class F>
PyObject* to_result(F&& call) {
    using R = std::invoke_result_t<F>;
    if constexpr (std::is_void_v<R>) {
        call();
        Py_RETURN_NONE;
    } else if constexpr (std::is_same_v<R, bool>) {
        return PyBool_FromLong(call() ? 1 : 0);
    } else {
        static_assert(std::is_same_v<R, Ref>, "bodies return void, bool or py::Ref");
        return call().release();
    }
}

template <Borrow B, class T>
using Access = std::conditional_t<B == Borrow::shared, const T&, T&>;

// ---------------------------------------------------------------------------
// Entry points

// Method with parameters: fast call with keywords.
template <class Cls, Name Method, Borrow B, auto Body, class... P>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        static constexpr auto params = kParamInfo<P...>;
        static constexpr Signature sig{Cls::name, Method.s, params.data(), params.size()};
        PyObject* bound[sizeof...(P) + 1] = {};
        bind_vector(sig, args, nargs, kwnames, bound);
        auto& inst = instance_of<Cls>(self);
        BorrowGuard<B> guard(inst.borrow);
        auto converted = convert_all<P...>(bound, std::index_sequence_for<P...>{});
        return to_result([&]() -> decltype(auto) {
            return std::apply(
                [&](auto&... a) -> decltype(auto) {
                    return Body(static_cast<Access<B, ValueOf<Cls>>>(inst.value), a...);
                },
                converted);
        });
    });
}

// Method without parameters: the interpreter itself rejects any argument.
template <class Cls, Borrow B, auto Body>
PyObject* noargs_entry(PyObject* self, PyObject*) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        auto& inst = instance_of<Cls>(self);
        BorrowGuard<B> guard(inst.borrow);
        return to_result([&]() -> decltype(auto) {
            return Body(static_cast<Access<B, ValueOf<Cls>>>(inst.value));
        });
    });
}

// Read-only attribute.
template <class Cls, auto Body>
PyObject* getter_entry(PyObject* self, void*) noexcept {
    return noargs_entry<Cls, Borrow::shared, Body>(self, nullptr);
}

// __str__ slot.
template <class Cls, auto Body>
PyObject* str_entry(PyObject* self) noexcept {
    return noargs_entry<Cls, Borrow::shared, Body>(self, nullptr);
}

// Sequence length slot.
template <class Cls, auto Body>
Py_ssize_t length_entry(PyObject* self) noexcept {
    return boundary<Py_ssize_t>(-1, [&]() -> Py_ssize_t {
        auto& inst = instance_of<Cls>(self);
        BorrowGuard<Borrow::shared> guard(inst.borrow);
        return Body(static_cast<const ValueOf<Cls>&>(inst.value));
    });
}

// Subscript slot: one key, bound to the parameter P (shared borrow).
template <class Cls, auto Body, class P>
PyObject* subscript_entry(PyObject* self, PyObject* key) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        auto& inst = instance_of<Cls>(self);
        BorrowGuard<Borrow::shared> guard(inst.borrow);
        auto index = convert_param<P>(key);
        return Body(static_cast<const ValueOf<Cls>&>(inst.value), index).release();
    });
}

// Sequence item slot, for the interpreter's iteration fallback.
template <class Cls, auto Body>
PyObject* item_entry(PyObject* self, Py_ssize_t index) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        auto& inst = instance_of<Cls>(self);
        BorrowGuard<Borrow::shared> guard(inst.borrow);
        return Body(static_cast<const ValueOf<Cls>&>(inst.value), index).release();
    });
}

// `T.__new__(X)` with X other than the class itself: TypeError, worded as
// CPython's own slot wrapper words it; a subclass, which PyPy lets Python
// code define, is refused as a base type.
[[noreturn]] void refuse_new_type(PyTypeObject* type, PyTypeObject* cls);

// Constructor slot: checks the class, binds and converts, lets the body build
// the value, then allocates the instance. The body may throw (e.g.
// std::bad_alloc). CPython's slot wrapper checks the class before calling
// this; PyPy's does not.
template <class Cls, auto Body, class... P>
PyObject* new_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        if (type != Cls::cached) refuse_new_type(type, Cls::type());
        static constexpr auto params = kParamInfo<P...>;
        static constexpr Signature sig{Cls::name, "__new__", params.data(), params.size()};
        PyObject* bound[sizeof...(P) + 1] = {};
        bind_tuple(sig, args, kwargs, bound);
        auto converted = convert_all<P...>(bound, std::index_sequence_for<P...>{});
        ValueOf<Cls> value = std::apply([](auto&... a) { return Body(a...); }, converted);
        return make_instance<Cls>(type, std::move(value)).release();
    });
}

// Module-level function: fast call with keywords, no receiver, no borrow.
template <Name Function, auto Body, class... P>
PyObject* function_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        static constexpr auto params = kParamInfo<P...>;
        static constexpr Signature sig{nullptr, Function.s, params.data(), params.size()};
        PyObject* bound[sizeof...(P) + 1] = {};
        bind_vector(sig, args, nargs, kwnames, bound);
        auto converted = convert_all<P...>(bound, std::index_sequence_for<P...>{});
        return to_result([&]() -> decltype(auto) { return std::apply(Body, converted); });
    });
}

// ---------------------------------------------------------------------------
// Table helpers

template <class F>
PyCFunction as_cfunction(F* f) noexcept {
    // Through a generic function pointer: the interpreter calls it back with
    // the signature that the flags announce.
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

template <class F>
void* as_slot(F* f) noexcept {
    return reinterpret_cast<void*>(f);
}

#ifdef PYPY_VERSION
// PyPy's method descriptors carry neither __doc__ nor __text_signature__.
// There, create_type (heap_type.cpp) replaces every row of a class's method table with an
// instance method around a plain built-in function of the row, which carries
// both; the receiver then comes as the first argument. A method without
// parameters takes it as its one argument (METH_O, PyPy's cheapest call).
template <class Cls, Borrow B, auto Body>
PyObject* receiver_noargs_entry(PyObject*, PyObject* self) noexcept {
    return noargs_entry<Cls, B, Body>(self, nullptr);
}

[[noreturn]] void raise_no_receiver(const char* class_name, const char* method);

template <class Cls, Name Method, Borrow B, auto Body, class... P>
PyObject* receiver_method_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
    if (nargs < 1) {
        return boundary<PyObject*>(nullptr,
                                   [&]() -> PyObject* { raise_no_receiver(Cls::name, Method.s); });
    }
    return method_entry<Cls, Method, B, Body, P...>(args[0], args + 1, nargs - 1, kwnames);
}

template <class Cls, Borrow B, auto Body>
PyMethodDef noargs_method(const char* name, const char* doc) {
    return {name, as_cfunction(&receiver_noargs_entry<Cls, B, Body>), METH_O, doc};
}

template <class Cls, Name Method, Borrow B, auto Body, class... P>
PyMethodDef method(const char* doc) {
    return {Method.s, as_cfunction(&receiver_method_entry<Cls, Method, B, Body, P...>),
            METH_FASTCALL | METH_KEYWORDS, doc};
}
#else
template <class Cls, Borrow B, auto Body>
PyMethodDef noargs_method(const char* name, const char* doc) {
    return {name, as_cfunction(&noargs_entry<Cls, B, Body>), METH_NOARGS, doc};
}

template <class Cls, Name Method, Borrow B, auto Body, class... P>
PyMethodDef method(const char* doc) {
    return {Method.s, as_cfunction(&method_entry<Cls, Method, B, Body, P...>),
            METH_FASTCALL | METH_KEYWORDS, doc};
}
#endif

// A class's method table: the rows of `parts` one after the other, in the
// order the class lists them, then the sentinel the interpreter stops at.
template <std::size_t... N>
std::array<PyMethodDef, (N + ... + 1)> method_table(const std::array<PyMethodDef, N>&... parts) {
    std::array<PyMethodDef, (N + ... + 1)> table{}; // the last row stays the zero sentinel
    auto at = table.begin();
    ((at = std::copy(parts.begin(), parts.end(), at)), ...);
    return table;
}

template <Name Function, auto Body, class... P>
PyMethodDef function(const char* doc) {
    return {Function.s, as_cfunction(&function_entry<Function, Body, P...>),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

// Create a heap type from a PyType_Spec and record it: not subclassable, no
// __dict__, no weak references (its flags omit Py_TPFLAGS_BASETYPE, and its
// basic size leaves no room for a dict or weak-reference slot). On PyPy, which
// honours none of that by itself, it also installs what makes the class
// behave as on CPython (see heap_type.cpp).
PyTypeObject* create_type(PyType_Spec& spec);

// The record of `type` itself, or null if create_type did not make it.
const ClassRecord* record_of(PyTypeObject* type);
// The record of the class that `type` is or derives from (PyPy lets Python
// code derive from them), or null.
const ClassRecord* base_record_of(PyTypeObject* type);
// The type's name as CPython's messages write it: for a class made by
// create_type, its full PyType_Spec name ("builtins.Cube3x3"; PyPy's type
// records only "Cube3x3").
std::string type_name(PyTypeObject* type);

// Add `obj` to the module under `name` and append the name to __all__.
void module_add(PyObject* module, const char* name, PyObject* obj);

} // namespace tessaroll::py
