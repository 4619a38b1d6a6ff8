// The one way this module includes the interpreter's headers, limited to the stable ABI at the
// level the build sets (wheel.py-api in pyproject.toml, passed on by CMakeLists.txt).
#pragma once

#ifndef Py_LIMITED_API
#error "Py_LIMITED_API is not defined: build the extension through CMakeLists.txt"
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
