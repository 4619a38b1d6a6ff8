// NumPy, reached at run time only: the C-API table behind numpy's `_ARRAY_API` capsule, the few
// slots of it this module calls, and the public fields of the array and descriptor objects.
//
// Nothing here includes NumPy's headers; the layouts below are NumPy's public ABI, which is the
// same in NumPy 1 and 2 except for the descriptor's `elsize` (see `element_size`).
#pragma once

#include <cstdint>
#include <string>

#include "ext/python.hpp"
#include "ext/ref.hpp"

namespace marlune::py::numpy {

using npy_intp = Py_ssize_t;

// Flag bits of an array object.
inline constexpr int c_contiguous_flag = 0x0001;
inline constexpr int f_contiguous_flag = 0x0002;
inline constexpr int aligned_flag = 0x0100;
inline constexpr int writeable_flag = 0x0400;

// Type numbers of the element types this module uses.
inline constexpr int float32_type = 11;    // NPY_FLOAT
inline constexpr int complex64_type = 14;  // NPY_CFLOAT

// NPY_ANYORDER of NumPy's NPY_ORDER enumeration.
inline constexpr int any_order = -1;

// The public head of every ndarray (PyArrayObject_fields).
struct ArrayObject {
    PyObject ob_base;
    char* data;
    int nd;
    npy_intp* dimensions;
    npy_intp* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};

// A shape argument (PyArray_Dims).
struct Dims {
    npy_intp* ptr;
    int len;
};

inline ArrayObject* as_array(PyObject* obj) noexcept { return reinterpret_cast<ArrayObject*>(obj); }

// The C-API table and what was learnt about the running NumPy while testing it.
struct Api {
    void** table = nullptr;
    // PyArray_GetNDArrayCFeatureVersion(): 18 (0x12) and later use the NumPy 2 descriptor layout.
    std::uint32_t feature_version = 0;

    // Slot 2. Borrowed; lives as long as the process.
    PyTypeObject* array_type() const noexcept { return static_cast<PyTypeObject*>(table[2]); }
    // Slot 45. Returns a new reference, or null with an exception set.
    PyObject* descr_from_type(int type_num) const noexcept {
        return reinterpret_cast<PyObject* (*)(int)>(table[45])(type_num);
    }
    // Slot 94. Steals `descr` (also on failure). Returns a new reference or null.
    PyObject* new_from_descr(PyTypeObject* type, PyObject* descr, int nd, npy_intp* dims,
                             npy_intp* strides, void* data, int flags,
                             PyObject* obj) const noexcept {
        using Fn = PyObject* (*)(PyTypeObject*, PyObject*, int, npy_intp*, npy_intp*, void*, int,
                                 PyObject*);
        return reinterpret_cast<Fn>(table[94])(type, descr, nd, dims, strides, data, flags, obj);
    }
    // Slot 135. Returns a new reference (a view whose base is `array`) or null.
    PyObject* newshape(PyObject* array, Dims* dims, int order) const noexcept {
        using Fn = PyObject* (*)(PyObject*, Dims*, int);
        return reinterpret_cast<Fn>(table[135])(array, dims, order);
    }
    // Slot 182. Both borrowed.
    bool equiv_types(PyObject* a, PyObject* b) const noexcept {
        return reinterpret_cast<unsigned char (*)(PyObject*, PyObject*)>(table[182])(a, b) != 0;
    }
    // Slot 282. Steals `obj`, also when it fails. Returns 0, or -1 with an exception set.
    int set_base_object(PyObject* array, PyObject* obj) const noexcept {
        return reinterpret_cast<int (*)(PyObject*, PyObject*)>(table[282])(array, obj);
    }

    // True for an instance of ndarray or of a subclass.
    bool is_array(PyObject* obj) const noexcept { return PyObject_TypeCheck(obj, array_type()); }
    // The element size of a descriptor, read in the layout of the running NumPy.
    npy_intp element_size(PyObject* descr) const noexcept;
};

// The NumPy C API, loading and testing NumPy the first time. Every failure is an InternalFailure
// "Failed to access NumPy array API capsule: <rendering>"; nothing is kept after a failure, so the
// next call tries again. After the first success this is one atomic load.
Api api();

// "numpy._core.multiarray" or "numpy.core.multiarray", by the running NumPy's major version.
// Failures throw the Python error (PyErrFailure); callers add their own prefix.
const char* multiarray_module_name();

// ---- small helpers shared by the NumPy boundary ------------------------------------------------

// Returns a new reference to the imported module; failures throw the Python error.
Ref import_module(const char* name);
// A capsule published by another module must be exactly a capsule, not a look-alike subclass:
// TypeError "'<T>' object is not an instance of 'PyCapsule'" otherwise.
void require_capsule(PyObject* obj);

}  // namespace marlune::py::numpy
