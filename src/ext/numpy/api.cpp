// NumPy access, the Python it corresponds to:
//
//     import numpy
//     major = numpy.lib.NumpyVersion(numpy.__version__).major
//     core = "numpy._core" if major >= 2 else "numpy.core"
//     table = importlib.import_module(core + ".multiarray")._ARRAY_API
//
// followed by the tests that the running NumPy speaks the ABI, the C-API level and the byte order
// this module was written for. NumPy is imported only when the first array crosses the boundary,
// so the module imports, and its scalar functions work, without it.

#include "ext/numpy/api.hpp"

#include <cstdio>
#include <string>

#include "core/failure.hpp"
#include "ext/once.hpp"
#include "ext/py_error.hpp"
#include "ext/ref.hpp"
#include "ext/text.hpp"

namespace marlune::py::numpy {
namespace {

// ---- descriptor heads, up to `elsize` ----------------------------------------------------------

// NumPy 1: a 32-bit element size right after the type number.
struct DescrHeadV1 {
    PyObject ob_base;
    PyTypeObject* typeobj;
    char kind, type, byteorder, flags;
    int type_num;
    int elsize;
};

// NumPy 2: the flags grew to 64 bits and moved before a machine-word element size.
struct DescrHeadV2 {
    PyObject ob_base;
    PyTypeObject* typeobj;
    char kind, type, byteorder, former_flags;
    int type_num;
    std::uint64_t flags;
    npy_intp elsize;
};

// ---- what this module needs of the running NumPy -----------------------------------------------

constexpr std::uint32_t numpy2_feature_version = 0x12;
// NumPy 1 and NumPy 2 both report at most this ABI version.
constexpr std::uint32_t supported_abi_version = 0x2000000;
// The C-API feature level of NumPy 1.15, the oldest NumPy this module talks to.
constexpr std::uint32_t minimum_feature_version = 0xc;
constexpr const char* minimum_numpy = "1.15";
constexpr int cpu_little_endian = 1;

constexpr const char* access_failure = "Failed to access NumPy array API capsule";

// ---- helpers -----------------------------------------------------------------------------------

std::string hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", static_cast<unsigned>(value));
    return text;
}

// Returns a new reference to the attribute.
Ref attribute(PyObject* obj, const char* name) {
    return checked(PyObject_GetAttrString(obj, name));
}

// An integer in 0..255, as NumPy's `major` must be.
std::uint8_t to_u8(PyObject* obj) {
    long value;
    if (PyLong_Check(obj)) {
        value = PyLong_AsLong(obj);
    } else {
        Ref index = checked(PyNumber_Index(obj));
        value = PyLong_AsLong(index.get());
    }
    if (value == -1 && PyErr_Occurred()) throw_pending();
    if (value < 0 || value > 255) {
        throw_new_error(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
    return static_cast<std::uint8_t>(value);
}

// ---- the one-time values -----------------------------------------------------------------------

OnceCell<const char*> multiarray_name_cell;
OnceCell<Api> api_cell;

const char* find_multiarray_name() {
    Ref numpy = import_module("numpy");
    Ref version = attribute(numpy.get(), "__version__");
    Ref lib = import_module("numpy.lib");
    Ref numpy_version = attribute(lib.get(), "NumpyVersion");
    Ref parsed = checked(PyObject_CallFunctionObjArgs(numpy_version.get(), version.get(), nullptr));
    Ref major = attribute(parsed.get(), "major");
    return to_u8(major.get()) >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
}

Api load_api() {
    Ref module = import_module(multiarray_module_name());
    Ref capsule = attribute(module.get(), "_ARRAY_API");
    require_capsule(capsule.get());
    void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
    if (table == nullptr) throw_pending();
    // The table lives inside NumPy as long as its capsule does: keep the capsule for good.
    capsule.release();

    Api api;
    api.table = static_cast<void**>(table);

    auto abi_version = reinterpret_cast<unsigned (*)()>(api.table[0])();
    if (abi_version > supported_abi_version) {
        throw_new_error(PyExc_RuntimeError, "module compiled against ABI version 0x" +
                                                hex(supported_abi_version) +
                                                " but this version of numpy is 0x" + hex(abi_version));
    }
    api.feature_version = reinterpret_cast<unsigned (*)()>(api.table[211])();
    if (api.feature_version < minimum_feature_version) {
        throw_new_error(PyExc_RuntimeError, "module was compiled against NumPy C-API version 0x" +
                                      hex(minimum_feature_version) + " (NumPy " + minimum_numpy +
                                      ") but the running NumPy has C-API version 0x" +
                                      hex(api.feature_version));
    }
    if (reinterpret_cast<int (*)()>(api.table[210])() != cpu_little_endian) {
        throw_new_error(PyExc_RuntimeError,
              "module compiled as little endian, but detected different endianness at runtime");
    }
    return api;
}

}  // namespace

// ---- interface ---------------------------------------------------------------------------------

const char* multiarray_module_name() {
    return multiarray_name_cell.get_or_init(find_multiarray_name);
}

Api api() {
    return api_cell.get_or_init([] { return internal_on_python_error(access_failure, load_api); });
}

npy_intp Api::element_size(PyObject* descr) const noexcept {
    if (feature_version >= numpy2_feature_version) {
        return reinterpret_cast<const DescrHeadV2*>(descr)->elsize;
    }
    return reinterpret_cast<const DescrHeadV1*>(descr)->elsize;
}

Ref import_module(const char* name) {
    Ref text = expect(PyUnicode_FromString(name));
    return checked(PyImport_Import(text.get()));
}

void require_capsule(PyObject* obj) {
    if (Py_TYPE(obj) != &PyCapsule_Type) {
        throw_new_error(PyExc_TypeError, not_an_instance_message(obj, "PyCapsule"));
    }
}

}  // namespace marlune::py::numpy
