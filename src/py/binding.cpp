// Non-template half of the binding layer: argument binding and its messages,
// conversions, error translation, the record of the classes made, and module
// registration.
#include "py/binding.h"

#include "cube/caught_error.h"
#include "py/arg_messages.h"
#include "py/heap_type.h"

#include <cstdint>
#include <string>
#include <system_error>
#include <vector>

namespace tessaroll::py {

namespace {

std::string full_name(const Signature& sig) {
    return messages::full_name(sig.owner, sig.name);
}

[[noreturn]] void raise_too_many_positional(const Signature& sig, std::size_t given) {
    std::size_t required = 0;
    for (std::size_t i = 0; i < sig.count; ++i)
        required += sig.params[i].required ? 1 : 0;
    raise(PyExc_TypeError,
          messages::too_many_positional(full_name(sig), required, sig.count, given));
}

// Keyword names are compared by value: not every interpreter interns them.
void bind_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** bound) {
    if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "keywords must be strings");
    for (std::size_t i = 0; i < sig.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.params[i].name) == 0) {
            if (bound[i]) {
                raise(PyExc_TypeError,
                      messages::multiple_values(full_name(sig), sig.params[i].name));
            }
            bound[i] = value;
            return;
        }
    }
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &len);
    if (!utf8) throw_error();
    raise(PyExc_TypeError,
          messages::unexpected_keyword(full_name(sig),
                                       std::string_view(utf8, static_cast<std::size_t>(len))));
}

void check_missing(const Signature& sig, PyObject* const* bound) {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < sig.count; ++i) {
        if (sig.params[i].required && !bound[i]) missing.push_back(sig.params[i].name);
    }
    if (!missing.empty()) {
        raise(PyExc_TypeError, messages::missing_required(full_name(sig), missing));
    }
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

// The execution step makes the class first; should that very step fail
// unexpectedly, the host's SystemError stands in.
PyObject* internal_error() {
    return globals.internal_error ? globals.internal_error : PyExc_SystemError;
}

} // namespace

const ClassRecord* record_of(PyTypeObject* type) {
    for (std::size_t i = 0; i < globals.class_count; ++i) {
        if (globals.classes[i].type == type) return &globals.classes[i];
    }
    return nullptr;
}

const ClassRecord* base_record_of(PyTypeObject* type) {
    for (std::size_t i = 0; i < globals.class_count; ++i) {
        if (PyType_IsSubtype(type, globals.classes[i].type)) return &globals.classes[i];
    }
    return nullptr;
}

std::string type_name(PyTypeObject* type) {
    if (const ClassRecord* rec = record_of(type)) return rec->spec->name;
    return type->tp_name;
}

void raise(PyObject* type, const std::string& message) {
    raise(type, message.c_str());
}

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw_error();
}

void raise_conversion(PyObject* obj, const char* target) {
    raise(PyExc_TypeError,
          "'" + type_qualname(obj) + "' object cannot be converted to '" + target + "'");
}

void raise_not_instance(PyObject* obj, const char* class_name) {
    if (obj == Py_None) {
        raise(PyExc_TypeError, std::string("'None' is not an instance of '") + class_name + "'");
    }
    raise(PyExc_TypeError,
          "'" + type_qualname(obj) + "' object is not an instance of '" + class_name + "'");
}

void raise_not_made(const char* class_name) {
    raise(PyExc_TypeError,
          std::string(class_name) + " object was not created by " + class_name + ".__new__()");
}

void refuse_new_type(PyTypeObject* type, PyTypeObject* cls) {
    const std::string name = type_name(cls);
    if (!type) raise(PyExc_TypeError, name + ".__new__(): not enough arguments");
    PyObject* obj = reinterpret_cast<PyObject*>(type);
    if (!PyType_Check(obj)) {
        raise(PyExc_TypeError,
              name + ".__new__(X): X is not a type object (" + type_name(Py_TYPE(obj)) + ")");
    }
    if (PyType_IsSubtype(type, cls)) {
        raise(PyExc_TypeError, "type '" + name + "' is not an acceptable base type");
    }
    const std::string sub = type_name(type);
    raise(PyExc_TypeError, name + ".__new__(" + sub + "): " + sub + " is not a subtype of " + name);
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
    Ref exc = take_pending();
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

void translate_exception() noexcept {
    try {
        throw;
    } catch (const ErrorAlreadySet&) {
        return; // already pending
    } catch (...) {
        const CaughtError caught = classify_caught();
        switch (caught.kind) {
        case CaughtError::Kind::no_memory: PyErr_NoMemory(); return;
        case CaughtError::Kind::system_error:
            // An operating-system failure (e.g. the entropy source):
            // OSError(errno, text), which the host narrows to the matching
            // subclass.
            if (PyObject* args = Py_BuildValue("(is)", caught.code.value(), caught.what)) {
                PyErr_SetObject(PyExc_OSError, args);
                Py_DECREF(args);
            }
            return;
        case CaughtError::Kind::other: PyErr_SetString(internal_error(), caught.what); return;
        }
    }
}

PyTypeObject* create_type(PyType_Spec& spec) {
    if (globals.class_count == kMaxClasses) raise(PyExc_SystemError, "too many tessaroll classes");
    Ref type = new_heap_type(spec);
    globals.classes[globals.class_count] = {reinterpret_cast<PyTypeObject*>(type.get()), &spec};
    ++globals.class_count;
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
