// do_moves and scramble: method rows and bodies that both cube classes share.
#pragma once

#include "binding.h"
#include "cube/cube.h"
#include "cube/move_digits.h"
#include "cube/move_tokens.h"
#include "cube/rng.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

namespace tessaroll::pymethods {

using py::Borrow;

// The move string's bytes, copied once before the first turn. Short strings
// (the usual scramble of a few dozen bytes) stay on the stack; longer ones
// take one heap block. Either way this is the call's only allocation.
class MoveBytes {
public:
    explicit MoveBytes(const py::Utf8& text) : size_(text.size) {
        char* dst = inline_;
        if (size_ > sizeof inline_) {
            heap_.reset(new char[size_]);
            dst = heap_.get();
        }
        if (size_) std::memcpy(dst, text.data, size_);
        data_ = dst;
    }
    MoveBytes(const MoveBytes&) = delete;
    MoveBytes& operator=(const MoveBytes&) = delete;

    std::string_view view() const noexcept { return {data_, size_}; }

private:
    std::size_t size_;
    const char* data_ = nullptr;
    std::unique_ptr<char[]> heap_;
    char inline_[256];
};

// Applies each recognised token as soon as the scan reaches it; unrecognised
// tokens are skipped. Nothing can fail once the copy exists.
template <Cube C>
void do_moves(C& cube, const py::Utf8& moves) {
    const MoveBytes bytes(moves);
    move_tokens::apply_moves(cube, bytes.view());
}

// Turns between two checks for a pending signal, so that an enormous length
// can still be interrupted with Ctrl-C.
inline constexpr std::uint64_t kTurnsPerSignalCheck = std::uint64_t{1} << 22;

// Run the handlers of pending signals; an exception of theirs unwinds to the
// boundary. PyPy's PyErr_CheckSignals does nothing: its handlers run only
// between bytecodes, so there a compiled `None` is evaluated instead.
inline void check_signals() {
#ifdef PYPY_VERSION
    static PyObject* globals = nullptr; // created under the interpreter lock, never freed
    static PyObject* code = nullptr;
    if (!code) {
        py::Ref dict = py::Ref::check(PyDict_New());
        py::check_status(PyDict_SetItemString(dict.get(), "__builtins__", PyEval_GetBuiltins()));
        code = py::Ref::check(Py_CompileString("None", "<signals>", Py_eval_input)).release();
        globals = dict.release();
    }
    py::Ref result = py::Ref::check(PyEval_EvalCode(code, globals, globals));
#else
    if (PyErr_CheckSignals() < 0) py::throw_error();
#endif
}

// The generator is fetched (and seeded on first use) before the length is
// examined, so an unreadable entropy source is reported even for n < 1.
template <Cube C>
void scramble(C& cube, std::int64_t length) {
    ThreadRng& rng = thread_rng();
    if (length < 1) return;
    MoveDigits<ThreadRng> digits(rng);
    const auto n = static_cast<std::uint64_t>(length);
    for (std::uint64_t i = 0; i < n; ++i) {
        if (i % kTurnsPerSignalCheck == kTurnsPerSignalCheck - 1) [[unlikely]] {
            check_signals();
            // A signal handler may have forked; never reuse the parent's
            // leftover digits in the child.
            digits.discard();
        }
        apply_move_index_internal(cube, digits.next());
    }
}

template <class Cls>
PyMethodDef do_moves_method() {
    return py::method<Cls, "do_moves", Borrow::exclusive, &do_moves<py::ValueOf<Cls>>,
                      py::Required<"moves", py::AsStr>>(
        "do_moves($self, moves)\n--\n\nApply a whitespace-separated sequence of cube moves.");
}

template <class Cls>
PyMethodDef scramble_method() {
    return py::method<Cls, "scramble", Borrow::exclusive, &scramble<py::ValueOf<Cls>>,
                      py::Optional<"scramble_length", py::AsInt64, std::int64_t{20}>>(
        "scramble($self, scramble_length=20)\n--\n\nApply a random scramble of the given length.");
}

} // namespace tessaroll::pymethods
