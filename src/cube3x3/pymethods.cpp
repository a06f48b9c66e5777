// Python surface of Cube3x3: its method table, in the documented order, and
// the bodies specific to the 3x3 model.
#include "cube3x3/pymethods.h"

#include "cube_pymethods.h"
#include "export_pymethods.h"
#include "moves_pymethods.h"

namespace tessaroll {
namespace {

using py::Borrow;
namespace pm = pymethods;
using C = Cube3x3Class;

Cube3x3 construct() {
    return Cube3x3{};
}

py::Ref corners(const Cube3x3& cube) {
    return pm::uint64_to_int(cube.corners);
}

py::Ref to_binary_corners(const Cube3x3& cube) {
    return pm::binary_str(cube.corners);
}
py::Ref to_binary_edges(const Cube3x3& cube) {
    return pm::binary_str(cube.edges);
}
py::Ref to_binary(const Cube3x3& cube) {
    py::Ref c = pm::binary_str(cube.corners);
    py::Ref e = pm::binary_str(cube.edges);
    return py::Ref::check(PyTuple_Pack(2, c.get(), e.get()));
}
py::Ref get_corners(const Cube3x3& cube) {
    return pm::corner_list(cube.corners);
}
py::Ref get_edges(const Cube3x3& cube) {
    return pm::edge_list(cube.edges);
}

PyMethodDef methods[] = {
    py::noargs_method<C, Borrow::shared, &to_binary_corners>(
        "to_binary_corners",
        "to_binary_corners($self)\n--\n\nReturn the corner state as a 64-bit binary string."),
    py::noargs_method<C, Borrow::shared, &to_binary_edges>(
        "to_binary_edges",
        "to_binary_edges($self)\n--\n\nReturn the edge state as a 64-bit binary string."),
    py::noargs_method<C, Borrow::shared, &to_binary>(
        "to_binary", "to_binary($self)\n--\n\nReturn the corner and edge states as a tuple of "
                     "64-bit binary strings."),
    pm::get_corners_method<C, &get_corners>(),
    py::noargs_method<C, Borrow::shared, &get_edges>(
        "get_edges", "get_edges($self)\n--\n\nReturn the edge state as an array."),
    pm::to_sticker_array_method<C>(
        "to_sticker_array($self)\n--\n\nReturn the cube state as an array of 54 sticker colors."),
    pm::is_solved_method<C>(),
    pm::turn_method<C, 0>(),
    pm::turn_method<C, 1>(),
    pm::turn_method<C, 2>(),
    pm::turn_method<C, 3>(),
    pm::turn_method<C, 4>(),
    pm::turn_method<C, 5>(),
    pm::turn_method<C, 6>(),
    pm::turn_method<C, 7>(),
    pm::turn_method<C, 8>(),
    pm::turn_method<C, 9>(),
    pm::turn_method<C, 10>(),
    pm::turn_method<C, 11>(),
    pm::do_moves_method<C>(),
    pm::scramble_method<C>(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"corners", &py::getter_entry<C, &corners>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("Cube3x3()\n--\n\n")},
    {Py_tp_new, py::as_slot(&py::new_entry<C, &construct>)},
    {Py_tp_dealloc, py::as_slot(&py::dealloc_entry<C>)},
    pm::str_slot<C>(),
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

// A dotted name gives __module__ == "builtins" on CPython and PyPy alike.
PyType_Spec spec = {"builtins.Cube3x3", static_cast<int>(sizeof(py::Instance<Cube3x3>)), 0,
                    Py_TPFLAGS_DEFAULT, slots};

} // namespace

PyTypeObject* Cube3x3Class::type() {
    if (!cached) cached = py::create_type(spec);
    return cached;
}

} // namespace tessaroll
