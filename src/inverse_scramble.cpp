// inverse_scramble(scramble): the move string that undoes the given one.
#include "inverse_scramble.h"

#include "cube/move_tokens.h"

#include <string>

namespace tessaroll {
namespace {

// The input is read in place from the str's UTF-8 buffer.
py::Ref inverse_scramble(const py::Utf8& scramble) {
    const std::string out = move_tokens::inverse_moves(scramble.view());
    return py::Ref::check(
        PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
}

PyMethodDef def =
    py::function<"inverse_scramble", &inverse_scramble, py::Required<"scramble", py::AsStr>>(
        "inverse_scramble(scramble)\n--\n\nReturn the inverse of the given scramble string.");

} // namespace

PyMethodDef* inverse_scramble_method() {
    return &def;
}

} // namespace tessaroll
