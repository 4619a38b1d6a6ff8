// Method-table records, named and documented by a signature: how the class and the module's
// functions list their entry points.
#pragma once

#include "python.hpp"
#include "signature.hpp"

namespace marlune::py {

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

}  // namespace marlune::py
