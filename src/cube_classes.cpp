// The two cube classes, set up once: each model's own parts (its pymethods)
// and the rows both share (cube_methods.h), in the order of kCube3x3Methods /
// kCube2x2Methods; the constructor, deallocation and __str__.
#include "cube2x2/pymethods.h"
#include "cube3x3/pymethods.h"
#include "cube_methods.h"

#include <span>
#include <string>
#include <vector>

namespace tessaroll {

// What each model's class has for itself (its pymethods.cpp).
py::OwnParts own_parts(const Cube2x2*);
py::OwnParts own_parts(const Cube3x3*);

namespace {

template <Cube C>
C construct() {
    return C{};
}

// Called once per class (Class::type() caches the type); every piece has
// static storage, as the type keeps
// pointers to the method and attribute tables, and the binding layer to the
// spec.
template <class Cls>
PyTypeObject* cube_type(std::span<const char* const> own_order) {
    using C = py::ValueOf<Cls>;
    py::OwnParts own = own_parts(static_cast<const C*>(nullptr));
    const auto shared = cube_methods::shared_rows<Cls>();
    own.methods.insert(own.methods.end(), shared.begin(), shared.end());
    static std::vector<PyMethodDef> methods = cube_methods::ordered_table(own_order, own.methods);
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(own.doc)},
        {Py_tp_new, py::as_slot(&py::new_entry<Cls, &construct<C>>)},
        {Py_tp_dealloc, py::as_slot(&py::dealloc_entry<Cls>)},
        cube_methods::str_slot<Cls>(),
        {Py_tp_methods, methods.data()},
        {Py_tp_getset, own.attributes},
        {0, nullptr},
    };
    // A dotted name gives __module__ == "builtins" on CPython and PyPy alike.
    static const std::string name = std::string("builtins.") + Cls::name;
    static PyType_Spec spec = {name.c_str(), static_cast<int>(sizeof(py::Instance<C>)), 0,
                               Py_TPFLAGS_DEFAULT, slots};
    return py::create_type(spec);
}

} // namespace

PyTypeObject* new_class_type(const Cube3x3*) {
    return cube_type<Cube3x3Class>(cube_methods::kCube3x3Methods);
}

PyTypeObject* new_class_type(const Cube2x2*) {
    return cube_type<Cube2x2Class>(cube_methods::kCube2x2Methods);
}

} // namespace tessaroll
