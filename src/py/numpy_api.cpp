// The one translation unit that defines NumPy's API table, and the lazy
// import that fills it.
#define TESSAROLL_NUMPY_DEFINE_API
// The defining include also brings NumPy's static _import_array(), which the
// lazy import below replaces; older headers have no other user of it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#include "py/numpy_api.h"
#pragma GCC diagnostic pop

#include "py/binding.h"

#include <cstdlib>
#include <string>

namespace tessaroll::numpy {

static_assert(sizeof(npy_uintp) == sizeof(std::size_t), "uintp is pointer width");
static_assert(sizeof(npy_int64) == sizeof(std::int64_t));

namespace {

// Major version from numpy.__version__ ("2.1.3", "1.26.4", "2.0.0rc1").
long major_version(PyObject* numpy_module) {
    py::Ref version = py::Ref::check(PyObject_GetAttrString(numpy_module, "__version__"));
    if (!PyUnicode_Check(version.get()))
        py::raise(PyExc_ImportError, "numpy.__version__ is not a str");
    const char* text = PyUnicode_AsUTF8(version.get());
    if (!text) py::throw_error();
    char* end = nullptr;
    const long major = std::strtol(text, &end, 10);
    if (end == text) py::raise(PyExc_ImportError, "cannot read numpy.__version__");
    return major;
}

// numpy is not installed: say which call needs it and how to get it, with
// the import's own error as the cause.
[[noreturn]] void raise_missing(const char* caller) {
    py::Ref cause = py::take_pending();
    py::Ref message =
        py::Ref::check(PyUnicode_FromFormat("%s needs NumPy: pip install numpy", caller));
    py::Ref error =
        py::Ref::check(PyObject_CallFunctionObjArgs(PyExc_ImportError, message.get(), nullptr));
    PyException_SetCause(error.get(), cause.release()); // steals
    PyErr_SetObject(PyExc_ImportError, error.get());
    py::throw_error();
}

[[noreturn]] void unusable(const std::string& why) {
    PyArray_API = nullptr;
    py::raise(PyExc_ImportError, ("numpy cannot be used by tessaroll: " + why).c_str());
}

// The checks NumPy's own import_array() makes, against the table just read.
// NumPy 2 keeps its ABI backward compatible, so only a NumPy newer than the
// headers is refused: a module built against NumPy 2 headers runs on NumPy
// 1.x (within the feature version checked next), one built against 1.x
// headers does not run on NumPy 2.
void check_runtime() {
    const unsigned abi = PyArray_GetNDArrayCVersion();
    if (NPY_VERSION < abi) {
        unusable("built for NumPy ABI " + std::to_string(NPY_VERSION) + ", found " +
                 std::to_string(abi));
    }
    const unsigned feature = PyArray_GetNDArrayCFeatureVersion();
    if (feature < NPY_FEATURE_VERSION) {
        unusable("built for NumPy C-API " + std::to_string(NPY_FEATURE_VERSION) + ", found " +
                 std::to_string(feature));
    }
#if NPY_ABI_VERSION >= 0x02000000
    // NumPy 2 headers dispatch some accessors on the running version; their
    // own import_array() sets this, so the lazy import must too.
    PyArray_RUNTIME_VERSION = static_cast<int>(feature);
#endif
#if NPY_BYTE_ORDER == NPY_LITTLE_ENDIAN
    if (PyArray_GetEndianness() != NPY_CPU_LITTLE) unusable("byte order differs");
#else
    if (PyArray_GetEndianness() != NPY_CPU_BIG) unusable("byte order differs");
#endif
}

[[noreturn]] void raise_wrong_array(PyArrayObject* array, const char* wanted) {
    py::Ref dtype = py::Ref::check(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(array))));
    py::Ref message = py::Ref::check(PyUnicode_FromFormat(
        "expected a 1-dimensional array of %s, got a %d-dimensional array of dtype %U", wanted,
        PyArray_NDIM(array), dtype.get()));
    PyErr_SetObject(PyExc_TypeError, message.get());
    py::throw_error();
}

template <class T>
ArrayView<T> vector_of(PyObject* obj, int typenum, const char* wanted, const char* caller) {
    ensure(caller);
    if (!PyArray_Check(obj)) py::raise_conversion(obj, "numpy.ndarray");
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(array) != 1 || !PyArray_EquivTypenums(PyArray_TYPE(array), typenum) ||
        PyArray_ISBYTESWAPPED(array)) {
        raise_wrong_array(array, wanted);
    }
    ArrayView<T> view;
    view.array = py::Ref::borrow(obj);
    view.size = static_cast<std::size_t>(PyArray_DIM(array, 0));
    view.data = static_cast<const T*>(PyArray_DATA(array));
    view.block = view.size == 0 || (PyArray_IS_C_CONTIGUOUS(array) && PyArray_ISALIGNED(array));
    return view;
}

} // namespace

void ensure(const char* caller) {
    if (PyArray_API) return;
    py::Ref numpy_module = py::Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy_module) {
        // Only a missing package is the user's to install; any other failure
        // (a broken or blocked numpy) passes through unchanged.
        if (PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) raise_missing(caller);
        py::throw_error();
    }
    const char* multiarray_name =
        major_version(numpy_module.get()) >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
    py::Ref multiarray = py::Ref::check(PyImport_ImportModule(multiarray_name));
    py::Ref capsule = py::Ref::check(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!PyCapsule_CheckExact(capsule.get())) unusable("_ARRAY_API is not a capsule");
    void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
    if (!table) py::throw_error();
    // The table is static data of numpy's extension, which stays imported.
    PyArray_API = static_cast<void**>(table);
    check_runtime();
}

template <class T>
void ArrayView<T>::require_block(const char* name) const {
    if (block) return;
    const std::string message =
        std::string("argument '") + name + "': array must be contiguous and aligned";
    py::raise(PyExc_ValueError, message.c_str());
}

template struct ArrayView<std::int64_t>;
template struct ArrayView<std::size_t>;

ArrayView<std::int64_t> int64_vector(PyObject* obj, const char* caller) {
    return vector_of<std::int64_t>(obj, NPY_INT64, "int64 in native byte order", caller);
}

ArrayView<std::size_t> uintp_vector(PyObject* obj, const char* caller) {
    return vector_of<std::size_t>(obj, NPY_UINTP, "uintp in native byte order", caller);
}

Int64Matrix new_int64_matrix(std::size_t rows, std::size_t cols) {
    // The caller has checked that rows * cols * 8 bytes fit ptrdiff_t, so
    // both dimensions fit npy_intp, which is as wide.
    npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
    Int64Matrix m;
    m.array = py::Ref::check(PyArray_SimpleNew(2, dims, NPY_INT64));
    m.data =
        static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(m.array.get())));
    return m;
}

} // namespace tessaroll::numpy
