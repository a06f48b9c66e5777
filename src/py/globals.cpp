// The objects of globals.h, made by the module's execution step.
#include "py/globals.h"

namespace tessaroll::py {

Globals globals;

namespace {

template <unsigned PieceBits>
std::array<Ref, pieces::kFieldValues> pairs(const std::array<Ref, 256>& ints) {
    std::array<Ref, pieces::kFieldValues> made;
    for (std::size_t f = 0; f < made.size(); ++f) {
        const auto pair = pieces::field_pair<PieceBits>(static_cast<std::uint8_t>(f));
        made[f] = Ref::check(PyTuple_Pack(2, ints[pair.piece].get(), ints[pair.orientation].get()));
    }
    return made;
}

template <std::size_t N>
void publish(std::array<PyObject*, N>& to, std::array<Ref, N>& from) {
    for (std::size_t i = 0; i < N; ++i)
        to[i] = from[i].release();
}

} // namespace

void make_globals() {
    if (globals.internal_error) return;
    std::array<Ref, 256> ints;
    for (std::size_t i = 0; i < ints.size(); ++i)
        ints[i] = Ref::check(PyLong_FromSize_t(i));
    std::array<Ref, pieces::kFieldValues> corners = pairs<pieces::kCornerPieceBits>(ints);
    std::array<Ref, pieces::kFieldValues> edges = pairs<pieces::kEdgePieceBits>(ints);
    Ref internal_error = Ref::check(PyErr_NewExceptionWithDoc(
        "tessaroll.InternalError",
        "A broken internal invariant of tessaroll. Derived from BaseException so that "
        "ordinary handlers do not swallow it; please report it.",
        PyExc_BaseException, nullptr));
#ifdef PYPY_VERSION
    Ref check_globals = Ref::check(PyDict_New());
    check_status(PyDict_SetItemString(check_globals.get(), "__builtins__", PyEval_GetBuiltins()));
    Ref check_code = Ref::check(Py_CompileString("None", "<signals>", Py_eval_input));
    globals.signal_check_code = check_code.release();
    globals.signal_check_globals = check_globals.release();
#endif
    publish(globals.small_ints, ints);
    publish(globals.corner_pairs, corners);
    publish(globals.edge_pairs, edges);
    globals.internal_error = internal_error.release();
}

} // namespace tessaroll::py
