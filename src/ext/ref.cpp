// Checked construction of owned references.
#include "ref.hpp"

#include "core/failure.hpp"
#include "py_error.hpp"

namespace marlune::py {

Ref checked(PyObject* p) {
    if (p == nullptr) throw_pending();
    return Ref::steal(p);
}

Ref expect(PyObject* p) {
    if (p == nullptr) {
        if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
        throw InternalFailure("PyObject pointer is null");
    }
    return Ref::steal(p);
}

}  // namespace marlune::py
