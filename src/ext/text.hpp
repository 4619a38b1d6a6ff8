// Small text helpers for messages built from Python objects.
#pragma once

#include <string>

#include "python.hpp"

namespace marlune::py {

// str(obj) or repr(obj) as UTF-8, or `fallback` when that fails (the error is discarded).
std::string str_or(PyObject* obj, const char* fallback);
std::string repr_or(PyObject* obj, const char* fallback);
// The `__qualname__` of a type, or "<failed to extract type name>" when it cannot be read.
std::string qualified_name(PyTypeObject* type);
// "'<T>' object is not an instance of '<expected>'", with T the qualified name of obj's type.
std::string not_an_instance_message(PyObject* obj, const char* expected);

}  // namespace marlune::py
