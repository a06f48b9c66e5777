// Python surface of Cube2x2: its method table, in the documented order, and
// the bodies specific to the 2x2 model.
#include "cube2x2/pymethods.h"

#include "cube_method_table.h"
#include "export_pymethods.h"

namespace tessaroll {
namespace {

using py::Borrow;
namespace pm = pymethods;
using C = Cube2x2Class;

Cube2x2 construct() {
    return Cube2x2{};
}

py::Ref state(const Cube2x2& cube) {
    return pm::uint64_to_int(cube.state);
}

// A single str, not a tuple: the 2x2 state is one word.
py::Ref to_binary(const Cube2x2& cube) {
    return pm::binary_str(cube.state);
}
py::Ref get_corners(const Cube2x2& cube) {
    return pm::corner_list(cube.state);
}

// The rows only this model has; cube_method_table appends the shared ones.
auto methods = pm::cube_method_table<C>(std::array{
    py::noargs_method<C, Borrow::shared, &to_binary>("to_binary", "to_binary($self)\n--\n\n"),
    pm::get_corners_method<C, &get_corners>(),
    pm::to_sticker_array_method<C>("to_sticker_array($self)\n--\n\n"),
});

PyGetSetDef getset[] = {
    {"state", &py::getter_entry<C, &state>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "Cube2x2()\n--\n\nA compact 2x2 Rubik's Cube model with fast move operations.")},
    {Py_tp_new, py::as_slot(&py::new_entry<C, &construct>)},
    {Py_tp_dealloc, py::as_slot(&py::dealloc_entry<C>)},
    pm::str_slot<C>(),
    {Py_tp_methods, methods.data()},
    {Py_tp_getset, getset},
    {0, nullptr},
};

// A dotted name gives __module__ == "builtins" on CPython and PyPy alike.
PyType_Spec spec = {"builtins.Cube2x2", static_cast<int>(sizeof(py::Instance<Cube2x2>)), 0,
                    Py_TPFLAGS_DEFAULT, slots};

} // namespace

PyTypeObject* Cube2x2Class::type() {
    if (!cached) cached = py::create_type(spec);
    return cached;
}

} // namespace tessaroll
