// Allocating and freeing instances of this module's heap types (made from a spec, so their
// slots are read with PyType_GetSlot, the only way the stable ABI offers).
#pragma once

#include "core/failure.hpp"
#include "py_error.hpp"
#include "python.hpp"

namespace marlune::py {

// A zero-filled instance of `type` that holds a reference to its heap type. Returns a new
// reference; throws the allocation error.
inline PyObject* allocate_instance(PyTypeObject* type) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    if (alloc == nullptr) throw_pending();
    PyObject* self = alloc(type, 0);
    if (self == nullptr) throw_pending();
    return self;
}

// Frees an instance whose own storage has been released, then drops the reference the
// instance held to its heap type.
inline void free_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    if (free_slot == nullptr) throw InternalFailure("PyBaseObject_Type should have tp_free");
    free_slot(self);
    Py_DECREF(reinterpret_cast<PyObject*>(type));
}

}  // namespace marlune::py
