// The Python class Cube2x2: the methods only it has (its one state word as a
// binary string and as a read-only attribute), then the rows both cube
// classes share.
#include "cube2x2/pymethods.h"

#include "py/cube_methods.h"
#include "py/results.h"

namespace tessaroll {
namespace {

using py::Borrow;
using C = Cube2x2Class;

py::Ref state(const Cube2x2& cube) {
    return py::uint64_to_int(cube.state);
}

// A single str, not a tuple: the 2x2 state is one word.
py::Ref to_binary(const Cube2x2& cube) {
    return py::binary_str(cube.state);
}
py::Ref get_corners(const Cube2x2& cube) {
    return py::corner_list(cube.state);
}

PyGetSetDef getset[] = {
    {"state", &py::getter_entry<C, &state>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// In the order the class lists them.
auto methods = py::method_table(
    std::array{
        py::noargs_method<C, Borrow::shared, &to_binary>("to_binary", "to_binary($self)\n--\n\n"),
        py::noargs_method<C, Borrow::shared, &get_corners>(
            "get_corners", "get_corners($self)\n--\n\nReturn the corner state as an array."),
        py::noargs_method<C, Borrow::shared, &py::sticker_list<Cube2x2>>(
            "to_sticker_array", "to_sticker_array($self)\n--\n\n"),
    },
    cube_methods::shared_rows<C>());

cube_methods::CubeType<C>
    type_spec("Cube2x2()\n--\n\nA compact 2x2 Rubik's Cube model with fast move operations.",
              methods.data(), getset);

} // namespace

PyTypeObject* new_class_type(const Cube2x2*) {
    return type_spec.create();
}

} // namespace tessaroll
