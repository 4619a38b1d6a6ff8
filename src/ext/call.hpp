// The call guard: the one place where C++ failures become Python exceptions.
//
// Every entry point the interpreter can call runs its body inside `guarded`. RAII owners in the
// body (instance borrow, array views, released interpreter lock, references) have given back
// what they took by the time the failure reaches the guard, which then sets the exception and
// returns the entry point's failure value.
#pragma once

#include "py_error.hpp"
#include "python.hpp"
#include "signature.hpp"

namespace marlune::py {

template <class T, class Body>
T guarded(T failure_value, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        raise_current_exception();
        return failure_value;
    }
}

// For slots that cannot report failure (the destructor): the exception is raised and handed
// straight to the interpreter's unraisable hook.
template <class Body>
void guarded_unraisable(Body&& body) noexcept {
    try {
        body();
    } catch (...) {
        raise_current_exception();
        PyErr_WriteUnraisable(nullptr);
    }
}

// ---- method-table records, named and documented by a signature ---------------------------------

using KeywordsFunction = PyObject* (*)(PyObject* self, PyObject* args, PyObject* kwargs);

// An entry point taking (self, args, kwargs), stored under the generic function pointer type.
template <const Signature& S, KeywordsFunction F>
PyMethodDef keywords_entry(int extra_flags = 0) noexcept {
    return {S.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F)),
            METH_VARARGS | METH_KEYWORDS | extra_flags, text_signature<S>};
}

// A method without parameters: the interpreter itself refuses any argument.
template <const Signature& S, PyCFunction F>
PyMethodDef noargs_entry() noexcept {
    return {S.name, F, METH_NOARGS, text_signature<S>};
}

// A new reference to None, for methods that return nothing.
inline PyObject* none() noexcept {
    Py_INCREF(Py_None);
    return Py_None;
}

}  // namespace marlune::py
