// get_next_states(cubes): successors of a list of single cubes. The states
// are copied out of the list first; the interpreter lock is kept throughout
// (the copies are private, but the list and its cubes are Python objects).
#include "get_next_states.h"

#include "cube2x2/pymethods.h"
#include "cube3x3/pymethods.h"
#include "cubeBatch/pymethods.h"
#include "py/numpy_api.h"

#include <span>
#include <vector>

namespace tessaroll {

namespace {

template <class Cls>
py::Ref successors_of(PyObject* list) {
    using C = py::ValueOf<Cls>;
    std::vector<C> states;
    states.reserve(static_cast<std::size_t>(PyList_Size(list)));
    // Only type checks run inside the loop, no Python code, so the list
    // cannot change under it.
    for (Py_ssize_t i = 0; i < PyList_Size(list); ++i) {
        PyObject* item = PyList_GetItem(list, i);
        if (!PyObject_TypeCheck(item, Cls::type())) py::raise_conversion(item, Cls::name);
        auto& cube = py::instance_of<Cls>(item);
        py::BorrowGuard<py::Borrow::shared> reading(cube.borrow);
        states.push_back(cube.value);
    }
    return successor_array(std::span<const C>(states), false);
}

py::Ref get_next_states(PyObject* cubes) {
    numpy::ensure("get_next_states()");
    if (PyList_Size(cubes) == 0) {
        py::raise(PyExc_TypeError,
                  "get_next_states() requires at least one cube to infer the cube type");
    }
    PyObject* first = PyList_GetItem(cubes, 0);
    if (PyObject_TypeCheck(first, Cube2x2Class::type())) return successors_of<Cube2x2Class>(cubes);
    if (PyObject_TypeCheck(first, Cube3x3Class::type())) return successors_of<Cube3x3Class>(cubes);
    py::raise(PyExc_TypeError, "get_next_states() expects a list of tessaroll.Cube2x2 or "
                               "tessaroll.Cube3x3 instances");
}

PyMethodDef def =
    py::function<"get_next_states", &get_next_states, py::Required<"cubes", py::AsList>>(
        "get_next_states(cubes)\n--\n\n"
        "Return quarter-turn successors for a batch of 2x2 or 3x3 cubes.");

} // namespace

PyMethodDef* get_next_states_method() {
    return &def;
}

} // namespace tessaroll
