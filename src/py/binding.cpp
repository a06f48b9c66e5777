// Non-template half of the binding layer: argument binding and its messages,
// conversions, error translation, type creation and module registration.
#include "py/binding.h"

#include "py/arg_messages.h"

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace tessaroll::py {

namespace {

std::string full_name(const Signature& sig) {
    return messages::full_name(sig.owner, sig.name);
}

[[noreturn]] void raise_format(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw_error();
}

[[noreturn]] void raise_too_many_positional(const Signature& sig, std::size_t given) {
    std::size_t required = 0;
    for (std::size_t i = 0; i < sig.count; ++i)
        required += sig.params[i].required ? 1 : 0;
    raise_format(PyExc_TypeError,
                 messages::too_many_positional(full_name(sig), required, sig.count, given));
}

// Keyword names are compared by value: not every interpreter interns them.
void bind_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** bound) {
    if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "keywords must be strings");
    for (std::size_t i = 0; i < sig.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.params[i].name) == 0) {
            if (bound[i]) {
                raise_format(PyExc_TypeError,
                             messages::multiple_values(full_name(sig), sig.params[i].name));
            }
            bound[i] = value;
            return;
        }
    }
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &len);
    if (!utf8) throw_error();
    raise_format(PyExc_TypeError,
                 messages::unexpected_keyword(
                     full_name(sig), std::string_view(utf8, static_cast<std::size_t>(len))));
}

void check_missing(const Signature& sig, PyObject* const* bound) {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < sig.count; ++i) {
        if (sig.params[i].required && !bound[i]) missing.push_back(sig.params[i].name);
    }
    if (!missing.empty()) {
        raise_format(PyExc_TypeError, messages::missing_required(full_name(sig), missing));
    }
}

// The classes made by create_type, with the name CPython reports for them in
// its own messages (the full PyType_Spec name, "builtins.Cube3x3"; PyPy's type
// records only "Cube3x3"). Filled once per class under the interpreter lock.
struct ClassRecord {
    PyTypeObject* type;
    const PyType_Spec* spec;
#ifdef PYPY_VERSION
    std::unique_ptr<PyType_Slot[]> slots; // the type's own slots plus the setattr slot
#endif
};
constexpr std::size_t kMaxClasses = 4;
ClassRecord class_records[kMaxClasses];
std::size_t class_count = 0;

const ClassRecord* record_of(PyTypeObject* type) {
    for (std::size_t i = 0; i < class_count; ++i) {
        if (class_records[i].type == type) return &class_records[i];
    }
    return nullptr;
}

// The type's name as CPython's messages write it.
std::string type_name(PyTypeObject* type) {
    if (const ClassRecord* rec = record_of(type)) return rec->spec->name;
    return type->tp_name;
}

std::string type_qualname(PyObject* obj) {
    Ref name = Ref::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
    if (name && PyUnicode_Check(name.get())) {
        if (const char* s = PyUnicode_AsUTF8(name.get())) return s;
    }
    PyErr_Clear();
    return "object";
}

} // namespace

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw_error();
}

void raise_conversion(PyObject* obj, const char* target) {
    raise_format(PyExc_TypeError,
                 "'" + type_qualname(obj) + "' object cannot be converted to '" + target + "'");
}

void raise_not_instance(PyObject* obj, const char* class_name) {
    if (obj == Py_None) {
        raise_format(PyExc_TypeError,
                     std::string("'None' is not an instance of '") + class_name + "'");
    }
    raise_format(PyExc_TypeError,
                 "'" + type_qualname(obj) + "' object is not an instance of '" + class_name + "'");
}

void raise_not_made(const char* class_name) {
    raise_format(PyExc_TypeError, std::string(class_name) + " object was not created by " +
                                      class_name + ".__new__()");
}

void refuse_new_type(PyTypeObject* type, PyTypeObject* cls) {
    const std::string name = type_name(cls);
    if (!type) raise_format(PyExc_TypeError, name + ".__new__(): not enough arguments");
    PyObject* obj = reinterpret_cast<PyObject*>(type);
    if (!PyType_Check(obj)) {
        raise_format(PyExc_TypeError, name + ".__new__(X): X is not a type object (" +
                                          type_name(Py_TYPE(obj)) + ")");
    }
    if (PyType_IsSubtype(type, cls)) {
        raise_format(PyExc_TypeError, "type '" + name + "' is not an acceptable base type");
    }
    const std::string sub = type_name(type);
    raise_format(PyExc_TypeError,
                 name + ".__new__(" + sub + "): " + sub + " is not a subtype of " + name);
}

void bind_vector(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 PyObject** bound) {
    const std::size_t npos = static_cast<std::size_t>(nargs);
    if (npos > sig.count) raise_too_many_positional(sig, npos);
    for (std::size_t i = 0; i < npos; ++i)
        bound[i] = args[i];
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_Size(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            bind_keyword(sig, PyTuple_GetItem(kwnames, k), args[nargs + k], bound);
        }
    }
    check_missing(sig, bound);
}

void bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** bound) {
    const Py_ssize_t nargs = args ? PyTuple_Size(args) : 0;
    if (nargs < 0) throw_error();
    const std::size_t npos = static_cast<std::size_t>(nargs);
    if (npos > sig.count) raise_too_many_positional(sig, npos);
    for (std::size_t i = 0; i < npos; ++i) {
        bound[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
    }
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value))
            bind_keyword(sig, key, value, bound);
    }
    check_missing(sig, bound);
}

void reraise_conversion(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_error();
#if PY_VERSION_HEX >= 0x030C0000 && !defined(PYPY_VERSION)
    Ref exc = Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref type_ref = Ref::steal(type);
    Ref tb_ref = Ref::steal(tb);
    Ref exc = Ref::steal(value);
#endif
    Ref text = Ref::check(PyObject_Str(exc.get()));
    Ref message = Ref::check(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    Ref replacement =
        Ref::check(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (PyObject* cause = PyException_GetCause(exc.get())) {
        PyException_SetCause(replacement.get(), cause); // steals the new reference
    }
    PyErr_SetObject(PyExc_TypeError, replacement.get());
    throw_error();
}

std::int64_t AsInt64::convert(PyObject* obj) {
    Ref index = Ref::check(PyNumber_Index(obj));
    const long long v = PyLong_AsLongLong(index.get());
    if (v == -1 && PyErr_Occurred()) throw_error();
    return static_cast<std::int64_t>(v);
}

// Integers that fit 64 bits but not the machine width get the same
// OverflowError on every platform, so 32-bit builds fail the same way.
std::size_t AsSize::convert(PyObject* obj) {
    Ref index = Ref::check(PyNumber_Index(obj));
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_error();
    if (v > std::numeric_limits<std::size_t>::max()) {
        raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
    return static_cast<std::size_t>(v);
}

Py_ssize_t AsSsize::convert(PyObject* obj) {
    Ref index = Ref::check(PyNumber_Index(obj));
    const long long v = PyLong_AsLongLong(index.get());
    if (v == -1 && PyErr_Occurred()) throw_error();
    if (v > PY_SSIZE_T_MAX || v < PY_SSIZE_T_MIN) {
        raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
    return static_cast<Py_ssize_t>(v);
}

Utf8 AsStr::convert(PyObject* obj) {
    if (!PyUnicode_Check(obj)) raise_conversion(obj, "str");
    Py_ssize_t size = 0;
    // Lone surrogates raise UnicodeEncodeError here, which is not a TypeError
    // and so reaches the caller unchanged.
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!data) throw_error();
    return {data, static_cast<std::size_t>(size)};
}

PyObject* AsList::convert(PyObject* obj) {
    if (!PyList_Check(obj)) raise_conversion(obj, "list");
    return obj;
}

PyObject* internal_error_type() {
    static PyObject* type = nullptr; // created under the interpreter lock, never freed
    if (!type) {
        type = PyErr_NewExceptionWithDoc(
            "tessaroll.InternalError",
            "A broken internal invariant of tessaroll. Derived from BaseException so that "
            "ordinary handlers do not swallow it; please report it.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

void translate_exception() noexcept {
    try {
        throw;
    } catch (const ErrorAlreadySet&) {
        // Already pending.
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::system_error& e) {
        // An operating-system failure (e.g. the entropy source): OSError(errno,
        // text), which the host narrows to the matching subclass.
        if (PyObject* args = Py_BuildValue("(is)", e.code().value(), e.what())) {
            PyErr_SetObject(PyExc_OSError, args);
            Py_DECREF(args);
        }
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        if (PyObject* type = internal_error_type()) PyErr_SetString(type, e.what());
    } catch (...) {
        if (PyObject* type = internal_error_type()) {
            PyErr_SetString(type, "unknown C++ exception");
        }
    }
}

#ifdef PYPY_VERSION
void raise_no_receiver(const char* class_name, const char* method) {
    raise_format(PyExc_TypeError, std::string("unbound method ") + class_name + "." + method +
                                      "() needs an argument");
}

namespace {

// The record of our class that `type` is or derives from.
const ClassRecord& base_record(PyTypeObject* type) {
    for (std::size_t i = 0; i < class_count; ++i) {
        if (PyType_IsSubtype(type, class_records[i].type)) return class_records[i];
    }
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
        raise_format(PyExc_TypeError,
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
    raise_format(PyExc_TypeError, "cannot pickle '" + name + "' object");
}

void check_reduce_args(const char* method, Py_ssize_t nargs, Py_ssize_t wanted) {
    if (nargs == 0) {
        raise_format(PyExc_TypeError,
                     std::string("unbound method object.") + method + "() needs an argument");
    }
    if (nargs == wanted + 1) return;
    const std::string given = std::to_string(nargs - 1);
    raise_format(PyExc_TypeError, std::string("object.") + method + "() takes " +
                                      (wanted ? "exactly one argument (" : "no arguments (") +
                                      given + " given)");
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
        raise_format(PyExc_TypeError, "__class__ must be set to a class, not '" +
                                          type_name(Py_TYPE(value)) + "' object");
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
    raise_format(PyExc_TypeError,
                 "__class__ assignment: '" + type_name(to) + why + type_name(type) + "'");
}

int setattr_entry(PyObject* self, PyObject* name, PyObject* value) noexcept {
    return boundary<int>(-1, [&]() -> int {
        PyTypeObject* type = Py_TYPE(self);
        if (!PyUnicode_Check(name)) {
            raise_format(PyExc_TypeError,
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

// The type's own slots (from its PyType_Spec) plus the setattr slot.
std::unique_ptr<PyType_Slot[]> with_setattr(const PyType_Spec& spec) {
    std::size_t n = 0;
    while (spec.slots[n].slot)
        ++n;
    auto slots = std::make_unique<PyType_Slot[]>(n + 2);
    std::copy_n(spec.slots, n, slots.get());
    slots[n] = {Py_tp_setattro, as_slot(&setattr_entry)};
    slots[n + 1] = {0, nullptr};
    return slots;
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

} // namespace
#endif

PyTypeObject* create_type(PyType_Spec& spec) {
    if (class_count == kMaxClasses) raise(PyExc_SystemError, "too many tessaroll classes");
    ClassRecord& record = class_records[class_count];
#ifdef PYPY_VERSION
    record.slots = with_setattr(spec);
    PyType_Spec pypy_spec = spec;
    pypy_spec.slots = record.slots.get();
    Ref type = Ref::check(PyType_FromSpec(&pypy_spec));
    finish_pypy_type(type.get(), spec);
#else
    Ref type = Ref::check(PyType_FromSpec(&spec));
#endif
    record.type = reinterpret_cast<PyTypeObject*>(type.get());
    record.spec = &spec;
    ++class_count;
    return reinterpret_cast<PyTypeObject*>(type.release());
}

void module_add(PyObject* module, const char* name, PyObject* obj) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
        PyErr_Clear();
        all = Ref::check(PyList_New(0));
        check_status(PyObject_SetAttrString(module, "__all__", all.get()));
    }
    if (!PyList_Check(all.get())) raise_conversion(all.get(), "list");
    Ref key = Ref::check(PyUnicode_FromString(name));
    check_status(PyList_Append(all.get(), key.get()));
    check_status(PyObject_SetAttr(module, key.get(), obj));
}

} // namespace tessaroll::py
