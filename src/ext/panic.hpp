// PanicException: how an internal failure of the extension reaches Python.
#pragma once

#include "core/failure.hpp"
#include "python.hpp"

namespace marlune::py {

// The exception type, created once per process at first need. Borrowed; never released.
PyObject* panic_exception_type();

// Writes the failure report (message and source location) to standard error, then makes a
// PanicException carrying the message the current exception.
void raise_panic(const InternalFailure& failure) noexcept;

}  // namespace marlune::py
