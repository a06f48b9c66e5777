// The Python class Cube3x3: the methods only it has (both words as binary
// strings, the edge pieces, the read-only corner word), then the rows both
// cube classes share.
#include "cube3x3/pymethods.h"

#include "py/cube_methods.h"
#include "py/results.h"

namespace tessaroll {
namespace {

using py::Borrow;
using C = Cube3x3Class;

py::Ref corners(const Cube3x3& cube) {
    return py::uint64_to_int(cube.corners);
}

py::Ref to_binary_corners(const Cube3x3& cube) {
    return py::binary_str(cube.corners);
}
py::Ref to_binary_edges(const Cube3x3& cube) {
    return py::binary_str(cube.edges);
}
py::Ref to_binary(const Cube3x3& cube) {
    return py::pair_of(py::binary_str(cube.corners), py::binary_str(cube.edges));
}
py::Ref get_corners(const Cube3x3& cube) {
    return py::corner_list(cube.corners);
}
py::Ref get_edges(const Cube3x3& cube) {
    return py::edge_list(cube.edges);
}

PyGetSetDef getset[] = {
    {"corners", &py::getter_entry<C, &corners>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// In the order the class lists them.
auto methods = py::method_table(
    std::array{
        py::noargs_method<C, Borrow::shared, &to_binary_corners>(
            "to_binary_corners",
            "to_binary_corners($self)\n--\n\nReturn the corner state as a 64-bit binary string."),
        py::noargs_method<C, Borrow::shared, &to_binary_edges>(
            "to_binary_edges",
            "to_binary_edges($self)\n--\n\nReturn the edge state as a 64-bit binary string."),
        py::noargs_method<C, Borrow::shared, &to_binary>(
            "to_binary", "to_binary($self)\n--\n\nReturn the corner and edge states as a tuple of "
                         "64-bit binary strings."),
        py::noargs_method<C, Borrow::shared, &get_corners>(
            "get_corners", "get_corners($self)\n--\n\nReturn the corner state as an array."),
        py::noargs_method<C, Borrow::shared, &get_edges>(
            "get_edges", "get_edges($self)\n--\n\nReturn the edge state as an array."),
        py::noargs_method<C, Borrow::shared, &py::sticker_list<Cube3x3>>(
            "to_sticker_array",
            "to_sticker_array($self)\n--\n\nReturn the cube state as an array of 54 sticker "
            "colors."),
    },
    cube_methods::shared_rows<C>());

cube_methods::CubeType<C> type_spec("Cube3x3()\n--\n\n", methods.data(), getset);

} // namespace

PyTypeObject* new_class_type(const Cube3x3*) {
    return type_spec.create();
}

} // namespace tessaroll
