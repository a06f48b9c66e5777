// Python surface of CubeBatch: construction, size, element copies, text form,
// and the parallel operations.
#include "cubeBatch/pymethods.h"

#include "cube2x2/pymethods.h"
#include "cube3x3/pymethods.h"
#include "py/gil.h"
#include "py/numpy_api.h"

#include <new>
#include <string>
#include <type_traits>

namespace tessaroll {
namespace {

using py::Borrow;
using B = CubeBatchClass;

template <class C>
struct ClassOf;
template <>
struct ClassOf<Cube2x2> {
    using type = Cube2x2Class;
};
template <>
struct ClassOf<Cube3x3> {
    using type = Cube3x3Class;
};

// MemoryError saying what could not be had. The byte count is worked out
// as a Python int: it may not fit size_t.
template <Cube C>
[[noreturn]] void raise_no_room(std::size_t count) {
    py::Ref cubes = py::Ref::check(PyLong_FromSize_t(count));
    py::Ref size = py::Ref::check(PyLong_FromSize_t(sizeof(C)));
    py::Ref bytes = py::Ref::check(PyNumber_Multiply(cubes.get(), size.get()));
    py::Ref message = py::Ref::check(PyUnicode_FromFormat(
        "cannot allocate %S bytes for a batch of %S cubes", bytes.get(), cubes.get()));
    PyErr_SetObject(PyExc_MemoryError, message.get());
    py::throw_error();
}

template <Cube C>
CubeBatch solved_batch(std::size_t count) {
    try {
        return CubeBatch(CubeSeq<C>(count));
    } catch (const std::bad_alloc&) {
        raise_no_room<C>(count);
    }
}

// Both arguments are converted before the model is checked, so a bad count
// is reported first.
CubeBatch construct(std::size_t count, std::size_t cube_type) {
    switch (cube_type) {
    case 2: return solved_batch<Cube2x2>(count);
    case 3: return solved_batch<Cube3x3>(count);
    default: py::raise(PyExc_TypeError, "unknown cube type: expected 2 or 3");
    }
}

// A pool call whose poll forked: RuntimeError in the child.
template <class F>
decltype(auto) on_pool(F&& work) {
    try {
        return work();
    } catch (const pool::ForkedDuringCall& e) {
        py::raise(PyExc_RuntimeError, e.what());
    }
}

Py_ssize_t length(const CubeBatch& batch) {
    // A batch never holds more than PY_SSIZE_T_MAX / 8 cubes (its bytes fit
    // ptrdiff_t), so the count fits.
    return static_cast<Py_ssize_t>(batch.size());
}

py::Ref len(const CubeBatch& batch) {
    return py::Ref::check(PyLong_FromSize_t(batch.size()));
}

// A new cube object holding a copy of cube `index` (already made
// non-negative by the caller when it was).
py::Ref item(const CubeBatch& batch, Py_ssize_t index) {
    if (index < 0 || static_cast<std::size_t>(index) >= batch.size()) {
        py::raise(PyExc_IndexError, "cubeBatch index out of range");
    }
    return batch.visit([&](auto cubes) {
        using C = std::remove_const_t<typename decltype(cubes)::element_type>;
        return py::make_instance<typename ClassOf<C>::type>(cubes[static_cast<std::size_t>(index)]);
    });
}

py::Ref subscript(const CubeBatch& batch, Py_ssize_t index) {
    if (index < 0) index += length(batch);
    return item(batch, index);
}

// The poll of a pool call made by a thread that holds the interpreter lock:
// pending signal handlers run every pool::kPollInterval, and a handler's
// exception (KeyboardInterrupt) cancels the rest of the call and is raised.
pool::Poll signal_poll() noexcept {
    return {[](void*) { py::check_signals(); }, nullptr};
}

// The same for a call made with the lock released: it is taken back briefly.
pool::Poll signal_poll(py::ReleasedGil& unlocked) noexcept {
    return {[](void* gil) { static_cast<py::ReleasedGil*>(gil)->check_signals(); }, &unlocked};
}

// Both keep the interpreter lock while the pool works.
void apply_move_indexes(CubeBatch& batch, const numpy::ArrayView<std::size_t>& indexes) {
    indexes.require_block("move_indexes");
    on_pool([&] { apply_move_indexes_internal(batch, indexes.data, indexes.size, signal_poll()); });
}

void scramble(CubeBatch& batch, const numpy::ArrayView<std::int64_t>& lengths) {
    lengths.require_block("scramble_lengths");
    on_pool([&] { scramble_batch_internal(batch, lengths.data, lengths.size, signal_poll()); });
}

// Pending signal handlers run every kCubesPerSignalCheck cubes, so that
// Ctrl-C ends the text of a large batch (about 750 bytes a 3x3 cube).
constexpr std::size_t kCubesPerSignalCheck = 4096;

py::Ref render(const CubeBatch& batch) {
    std::string text;
    batch.visit([&](auto cubes) {
        for (std::size_t i = 0; i < cubes.size(); ++i) {
            if (i > 0) text += "\n\n";
            if (i % kCubesPerSignalCheck == kCubesPerSignalCheck - 1) py::check_signals();
            text += cubes[i].render_ansi_internal();
        }
    });
    return py::Ref::check(
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// Rows are written with the interpreter lock released: only the batch's own
// states are read, and the shared borrow keeps writers out meanwhile.
py::Ref get_next_states(const CubeBatch& batch) {
    numpy::ensure("CubeBatch.get_next_states()");
    return batch.visit([](auto cubes) { return successor_array(cubes, true); });
}

PyMethodDef methods[] = {
    py::method<B, "apply_move_indexes", Borrow::exclusive, &apply_move_indexes,
               py::Required<"move_indexes", py::AsUintpVector<"CubeBatch.apply_move_indexes()">>>(
        "apply_move_indexes($self, move_indexes)\n--\n\n"),
    py::noargs_method<B, Borrow::shared, &get_next_states>(
        "get_next_states",
        "get_next_states($self)\n--\n\n"
        "Return successor states for all cubes using the 12 quarter-turn moves.\n\n"
        "Returns a NumPy int64 array with shape (len(self) * 12, sticker_dim)."),
    py::method<B, "scramble", Borrow::exclusive, &scramble,
               py::Required<"scramble_lengths", py::AsInt64Vector<"CubeBatch.scramble()">>>(
        "scramble($self, scramble_lengths)\n--\n\n"
        "Scramble each cube with the corresponding number of random moves.\n\n"
        "The `scramble_lengths` array is zipped with the batch. If it is shorter\n"
        "than the batch, only the first N cubes are scrambled. Extra lengths are\n"
        "ignored."),
    py::noargs_method<B, Borrow::shared, &len>(
        "len", "len($self)\n--\n\nReturn the number of cubes in the batch."),
    {nullptr, nullptr, 0, nullptr},
};

constexpr unsigned long kFlags = Py_TPFLAGS_DEFAULT
#ifdef Py_TPFLAGS_SEQUENCE
                                 | Py_TPFLAGS_SEQUENCE
#endif
    ;

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("CubeBatch(count, cube_type)\n--\n\n")},
    {Py_tp_new, py::as_slot(&py::new_entry<B, &construct, py::Required<"count", py::AsSize>,
                                           py::Required<"cube_type", py::AsSize>>)},
    {Py_tp_dealloc, py::as_slot(&py::dealloc_entry<B>)},
    {Py_tp_methods, methods},
    {Py_tp_str, py::as_slot(&py::str_entry<B, &render>)},
    {Py_sq_length, py::as_slot(&py::length_entry<B, &length>)},
    {Py_mp_subscript,
     py::as_slot(&py::subscript_entry<B, &subscript, py::Required<"index", py::AsSsize>>)},
    // The interpreter's iteration fallback (list(batch), for ... in batch)
    // goes through the sequence item slot; it passes indexes already made
    // non-negative, so this one does not wrap them again.
    {Py_sq_item, py::as_slot(&py::item_entry<B, &item>)},
    {0, nullptr},
};

// A dotted name gives __module__ == "builtins" on CPython and PyPy alike.
PyType_Spec spec = {"builtins.CubeBatch", static_cast<int>(sizeof(py::Instance<HostedBatch>)), 0,
                    static_cast<unsigned int>(kFlags), slots};

} // namespace

// The array is allocated with the lock held (NumPy's allocator is the
// interpreter's business); a batch small enough to be done on this thread
// keeps the lock: releasing it would only let another thread take it and
// make this one wait.
template <Cube C>
py::Ref successor_array(std::span<const C> cubes, bool release_lock) {
    const auto elements = successor_elements<C>(cubes.size());
    if (!elements) throw std::bad_alloc();
    numpy::Int64Matrix rows = numpy::new_int64_matrix(kMoveCount * cubes.size(), C::sticker_dim);
    const std::span<std::int64_t> out(rows.data, *elements);
    on_pool([&] {
        if (release_lock && !successors_inline(cubes.size())) {
            py::ReleasedGil unlocked;
            write_successors(cubes, out, signal_poll(unlocked));
        } else {
            write_successors(cubes, out, signal_poll());
        }
    });
    return std::move(rows.array);
}

template py::Ref successor_array(std::span<const Cube2x2>, bool);
template py::Ref successor_array(std::span<const Cube3x3>, bool);

PyTypeObject* new_class_type(const HostedBatch*) {
    return py::create_type(spec);
}

} // namespace tessaroll
