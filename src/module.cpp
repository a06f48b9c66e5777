// Module definition and registration: multi-phase initialisation with one
// execution step, no per-module state and no module method table. The
// functions are created by the execution step, bound to the module.
#include "cube2x2/pymethods.h"
#include "cube3x3/pymethods.h"
#include "cubeBatch/pymethods.h"
#include "get_next_states.h"
#include "inverse_scramble.h"
#include "py/binding.h"
#include "py/gil.h"

namespace tessaroll {
namespace {

void add_class(PyObject* module, const char* name, PyTypeObject* type) {
    py::module_add(module, name, reinterpret_cast<PyObject*>(type));
}

void add_function(PyObject* module, PyMethodDef* def) {
    py::Ref module_name = py::Ref::check(PyObject_GetAttrString(module, "__name__"));
    py::Ref fn = py::Ref::check(PyCFunction_NewEx(def, module, module_name.get()));
    py::Ref name = py::Ref::check(PyObject_GetAttrString(fn.get(), "__name__"));
    if (!PyUnicode_Check(name.get())) py::raise_conversion(name.get(), "str");
    const char* utf8 = PyUnicode_AsUTF8(name.get());
    if (!utf8) py::throw_error();
    py::module_add(module, utf8, fn.get());
}

int exec_module(PyObject* module) noexcept {
    return py::boundary<int>(-1, [&] {
        if (!PyModule_Check(module)) py::raise_conversion(module, "module");
        py::make_globals();
        add_class(module, "CubeBatch", py::make_class<CubeBatchClass>());
        add_class(module, "Cube2x2", py::make_class<Cube2x2Class>());
        add_class(module, "Cube3x3", py::make_class<Cube3x3Class>());
        add_function(module, inverse_scramble_method());
        add_function(module, get_next_states_method());
        // Reachable for `except`, but not part of __all__.
        py::check_status(
            PyObject_SetAttrString(module, "InternalError", py::globals.internal_error));
        // The distribution's version, fixed at build time; not in __all__.
        py::check_status(PyModule_AddStringConstant(module, "__version__", TESSAROLL_VERSION));
        py::install_exit_guard();
        return 0;
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
#ifdef Py_mod_multiple_interpreters
    // The types and the worker pool are process-wide, tied to the first
    // interpreter: a subinterpreter's import fails with ImportError.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tessaroll", // m_name
    "",          // m_doc
    0,           // m_size: no module state
    nullptr,     // m_methods: functions are added by the execution step
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace
} // namespace tessaroll

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_tessaroll(void) {
    return PyModuleDef_Init(&tessaroll::module_def);
}
