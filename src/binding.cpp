// Non-template half of the binding layer: argument binding and its messages,
// conversions, error translation, type creation and module registration.
#include "binding.h"

#include "arg_messages.h"

#include <cstdint>
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
namespace {

// PyPy's cpyext ignores a missing Py_TPFLAGS_BASETYPE and lets Python code
// subclass the type. Subclass instances would get a __dict__ and a
// deallocation path the instances were not written for, so class creation
// is refused where PyPy still asks: the base's __init_subclass__.
PyObject* refuse_subclass(PyObject* cls, PyObject*, PyObject*) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        Ref base = Ref::check(PyObject_GetAttrString(cls, "__base__"));
        Ref name = Ref::check(PyObject_GetAttrString(base.get(), "__qualname__"));
        PyErr_Format(PyExc_TypeError, "type '%U' is not an acceptable base type", name.get());
        throw_error();
    });
}

PyMethodDef refuse_subclass_def = {"__init_subclass__", as_cfunction(&refuse_subclass),
                                   METH_VARARGS | METH_KEYWORDS | METH_CLASS, nullptr};

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

} // namespace
#endif

PyTypeObject* create_type(PyType_Spec& spec) {
    Ref type = Ref::check(PyType_FromSpec(&spec));
#ifdef PYPY_VERSION
    store_doc(type.get(), spec);
    Ref refuse = Ref::check(
        PyDescr_NewClassMethod(reinterpret_cast<PyTypeObject*>(type.get()), &refuse_subclass_def));
    check_status(PyObject_SetAttrString(type.get(), "__init_subclass__", refuse.get()));
#endif
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
