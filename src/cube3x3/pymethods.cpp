// Python surface of Cube3x3: its method table, in the documented order, and
// the bodies specific to the 3x3 model.
#include "cube3x3/pymethods.h"

#include "cube_method_table.h"
#include "export_pymethods.h"

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
    return pm::pair_of(pm::binary_str(cube.corners), pm::binary_str(cube.edges));
}
py::Ref get_corners(const Cube3x3& cube) {
    return pm::corner_list(cube.corners);
}
py::Ref get_edges(const Cube3x3& cube) {
    return pm::edge_list(cube.edges);
}

// The rows only this model has; cube_method_table appends the shared ones.
auto methods = pm::cube_method_table<C>(std::array{
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
});

PyGetSetDef getset[] = {
    {"corners", &py::getter_entry<C, &corners>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("Cube3x3()\n--\n\n")},
    {Py_tp_new, py::as_slot(&py::new_entry<C, &construct>)},
    {Py_tp_dealloc, py::as_slot(&py::dealloc_entry<C>)},
    pm::str_slot<C>(),
    {Py_tp_methods, methods.data()},
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
