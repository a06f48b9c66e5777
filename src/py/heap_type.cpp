// Heap types from their PyType_Spec, and on PyPy the stand-ins for the
// checks CPython's own slots make.
#include "py/heap_type.h"

#ifdef PYPY_VERSION
#include <algorithm>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>
#endif

namespace tessaroll::py {

#ifdef PYPY_VERSION
void raise_no_receiver(const char* class_name, const char* method) {
    raise(PyExc_TypeError,
          std::string("unbound method ") + class_name + "." + method + "() needs an argument");
}

namespace {

// The record of our class that `type` is or derives from.
const ClassRecord& base_record(PyTypeObject* type) {
    if (const ClassRecord* rec = base_record_of(type)) return *rec;
    raise(PyExc_SystemError, "not a tessaroll class");
}

// PyPy's cpyext ignores a missing Py_TPFLAGS_BASETYPE and lets Python code
// subclass the type. Class creation is refused where PyPy still asks: the
// base's __init_subclass__. Should that be deleted, new_entry still refuses
// every instance of a subclass, and any instance made without it has no
// `made` mark, so a subclass is never usable.
PyObject* refuse_subclass(PyObject* cls, PyObject*, PyObject*) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        const ClassRecord& base = base_record(reinterpret_cast<PyTypeObject*>(cls));
        raise(PyExc_TypeError,
              std::string("type '") + base.spec->name + "' is not an acceptable base type");
    });
}

PyMethodDef refuse_subclass_def = {
    "__init_subclass__", as_cfunction(&refuse_subclass), METH_VARARGS | METH_KEYWORDS | METH_CLASS,
    "__init_subclass__($cls, /, **kwargs)\n--\n\nRefuse the new subclass: this class is not an "
    "acceptable base type."};

// PyPy's default reduction rebuilds a fresh object through __new__, so copy,
// deepcopy and pickle would silently give a solved cube or an empty batch.
// CPython refuses them: object.__reduce_ex__ from protocol 2 on reports the
// full type name, and copyreg, which serves the older protocols and
// object.__reduce__, the short one. Receiver first, as installed by
// install_method below.
[[noreturn]] void refuse_pickle(PyObject* self, bool full) {
    std::string name = type_name(Py_TYPE(self));
    if (!full) name.erase(0, name.rfind('.') + 1);
    raise(PyExc_TypeError, "cannot pickle '" + name + "' object");
}

void check_reduce_args(const char* method, Py_ssize_t nargs, Py_ssize_t wanted) {
    if (nargs == 0) {
        raise(PyExc_TypeError,
              std::string("unbound method object.") + method + "() needs an argument");
    }
    if (nargs == wanted + 1) return;
    const std::string given = std::to_string(nargs - 1);
    raise(PyExc_TypeError, std::string("object.") + method + "() takes " +
                               (wanted ? "exactly one argument (" : "no arguments (") + given +
                               " given)");
}

PyObject* reduce_ex(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        check_reduce_args("__reduce_ex__", nargs, 1);
        const long protocol = PyLong_AsLong(args[1]);
        if (protocol == -1 && PyErr_Occurred()) throw_error();
        refuse_pickle(args[0], protocol >= 2);
    });
}

PyObject* reduce(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        check_reduce_args("__reduce__", nargs, 0);
        refuse_pickle(args[0], false);
    });
}

PyMethodDef reduce_defs[] = {
    {"__reduce_ex__", as_cfunction(&reduce_ex), METH_FASTCALL,
     "__reduce_ex__($self, protocol, /)\n--\n\nHelper for pickle."},
    {"__reduce__", as_cfunction(&reduce), METH_FASTCALL,
     "__reduce__($self, /)\n--\n\nHelper for pickle."},
};

// Attribute assignment and deletion. Every cpyext instance has a __dict__,
// so PyPy's generic setattr would store any new name, and shadow methods.
// CPython, whose instances have none, refuses; so does this, with CPython
// 3.9's messages, deciding by the name alone (fetching a getset descriptor
// from C crashes PyPy): a getset of the class is not writable, a name the
// class or object defines is read-only, anything else does not exist.

bool has_getset(const PyType_Spec& spec, PyObject* name) {
    for (const PyType_Slot* slot = spec.slots; slot->slot; ++slot) {
        if (slot->slot != Py_tp_getset) continue;
        for (auto* def = static_cast<const PyGetSetDef*>(slot->pfunc); def->name; ++def) {
            if (PyUnicode_CompareWithASCIIString(name, def->name) == 0) return true;
        }
    }
    return false;
}

bool names_any_of(PyObject* name, std::initializer_list<const char*> names) {
    for (const char* n : names) {
        if (PyUnicode_CompareWithASCIIString(name, n) == 0) return true;
    }
    return false;
}

// Whether a class on the type's MRO defines `name`, as CPython's type
// dictionaries would: PyPy adds __dict__ and __weakref__ to the class and
// lacks object.__sizeof__.
bool class_defines(PyTypeObject* type, PyObject* name) {
    if (names_any_of(name, {"__dict__", "__weakref__"})) return false;
    if (names_any_of(name, {"__sizeof__"})) return true;
    Ref mro = Ref::check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__mro__"));
    const Py_ssize_t n = PyTuple_Size(mro.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref dict = Ref::check(PyObject_GetAttrString(PyTuple_GetItem(mro.get(), i), "__dict__"));
        const int found = PySequence_Contains(dict.get(), name);
        check_status(found);
        if (found) return true;
    }
    return false;
}

// CPython 3.9's checks and messages for assigning __class__; no assignment
// to another class passes them.
int assign_class(PyObject* self, PyObject* value) {
    PyTypeObject* type = Py_TYPE(self);
    if (!value) raise(PyExc_TypeError, "can't delete __class__ attribute");
    if (!PyType_Check(value)) {
        raise(PyExc_TypeError,
              "__class__ must be set to a class, not '" + type_name(Py_TYPE(value)) + "' object");
    }
    auto* to = reinterpret_cast<PyTypeObject*>(value);
    if (to == type) return 0;
    if (!(PyType_GetFlags(to) & Py_TPFLAGS_HEAPTYPE)) {
        raise(PyExc_TypeError,
              "__class__ assignment only supported for heap types or ModuleType subclasses");
    }
    // Our classes differ in layout from each other; any other heap class
    // (a Python class) is collected and so has another deallocator.
    const char* why =
        record_of(to) ? "' object layout differs from '" : "' deallocator differs from '";
    raise(PyExc_TypeError, "__class__ assignment: '" + type_name(to) + why + type_name(type) + "'");
}

int setattr_entry(PyObject* self, PyObject* name, PyObject* value) noexcept {
    return boundary<int>(-1, [&]() -> int {
        PyTypeObject* type = Py_TYPE(self);
        if (!PyUnicode_Check(name)) {
            raise(PyExc_TypeError,
                  "attribute name must be string, not '" + type_name(Py_TYPE(name)) + "'");
        }
        if (PyUnicode_CompareWithASCIIString(name, "__class__") == 0) {
            return assign_class(self, value);
        }
        if (has_getset(*base_record(type).spec, name)) {
            PyErr_Format(PyExc_AttributeError, "attribute '%U' of '%s' objects is not writable",
                         name, type_name(type).c_str());
        } else if (class_defines(type, name)) {
            PyErr_Format(PyExc_AttributeError, "'%s' object attribute '%U' is read-only",
                         type_name(type).c_str(), name);
        } else {
            PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute '%U'",
                         type_name(type).c_str(), name);
        }
        throw_error();
    });
}

// See receiver_noargs_entry in binding.h.
void install_method(PyObject* type, PyMethodDef* def) {
    Ref fn = Ref::check(PyCFunction_NewEx(def, nullptr, nullptr));
    Ref method = Ref::check(PyInstanceMethod_New(fn.get()));
    check_status(PyObject_SetAttrString(type, def->ml_name, method.get()));
}

// PyPy leaves __doc__ None when the text after the signature is empty;
// CPython stores the empty string.
void store_doc(PyObject* type, const PyType_Spec& spec) {
    for (const PyType_Slot* slot = spec.slots; slot->slot; ++slot) {
        if (slot->slot != Py_tp_doc) continue;
        std::string_view doc(static_cast<const char*>(slot->pfunc));
        const std::string_view marker = "\n--\n\n";
        const std::size_t at = doc.find(marker);
        if (at != std::string_view::npos) doc.remove_prefix(at + marker.size());
        Ref text = Ref::check(
            PyUnicode_FromStringAndSize(doc.data(), static_cast<Py_ssize_t>(doc.size())));
        check_status(PyObject_SetAttrString(type, "__doc__", text.get()));
    }
}

// Everything PyPy needs after the type exists, in the order CPython's type
// dictionary would list it: the methods keep their table positions.
void finish_pypy_type(PyObject* type, const PyType_Spec& spec) {
    store_doc(type, spec);
    for (const PyType_Slot* slot = spec.slots; slot->slot; ++slot) {
        if (slot->slot != Py_tp_methods) continue;
        for (auto* def = static_cast<PyMethodDef*>(slot->pfunc); def->ml_name; ++def)
            install_method(type, def);
    }
    for (PyMethodDef& def : reduce_defs)
        install_method(type, &def);
    Ref refuse = Ref::check(
        PyDescr_NewClassMethod(reinterpret_cast<PyTypeObject*>(type), &refuse_subclass_def));
    check_status(PyObject_SetAttrString(type, "__init_subclass__", refuse.get()));
}

// The type's own slots (from its PyType_Spec) plus the setattr slot; the
// array lives as long as the type.
PyType_Slot* with_setattr(const PyType_Spec& spec) {
    static std::vector<std::unique_ptr<PyType_Slot[]>> kept;
    std::size_t n = 0;
    while (spec.slots[n].slot)
        ++n;
    auto slots = std::make_unique<PyType_Slot[]>(n + 2);
    std::copy_n(spec.slots, n, slots.get());
    slots[n] = {Py_tp_setattro, as_slot(&setattr_entry)};
    slots[n + 1] = {0, nullptr};
    kept.push_back(std::move(slots));
    return kept.back().get();
}

} // namespace

Ref new_heap_type(PyType_Spec& spec) {
    PyType_Spec pypy_spec = spec;
    pypy_spec.slots = with_setattr(spec);
    Ref type = Ref::check(PyType_FromSpec(&pypy_spec));
    finish_pypy_type(type.get(), spec);
    return type;
}

#else

Ref new_heap_type(PyType_Spec& spec) {
    return Ref::check(PyType_FromSpec(&spec));
}

#endif

} // namespace tessaroll::py
