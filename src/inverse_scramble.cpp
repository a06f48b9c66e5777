// inverse_scramble(scramble): the move string that undoes the given one.
#include "inverse_scramble.h"

#include "cube/move_tokens.h"

#include <string>
#include <string_view>

namespace tessaroll {
namespace {

// Tokens are taken from the last to the first, each replaced by its inverse
// (tokens that are not moves keep their text), and joined by single spaces.
// The input is read in place from the str's UTF-8 buffer; tokens are cut at
// whole characters, so the result is valid UTF-8 again.
py::Ref inverse_scramble(const py::Utf8& scramble) {
    std::string out;
    out.reserve(scramble.size + scramble.size / 2);
    move_tokens::for_each_token_reverse(scramble.view(), [&out](std::string_view token) {
        if (!out.empty()) out += ' ';
        out += move_tokens::inverse_token(token);
    });
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
