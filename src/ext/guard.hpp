// The call guard: the one place where C++ failures become Python exceptions.
//
// Every entry point the interpreter can call runs its body inside `guarded`. RAII owners in the
// body (instance borrow, array views, released interpreter lock, references) have given back
// what they took by the time the failure reaches the guard, which then sets the exception and
// returns the entry point's failure value.
#pragma once

#include "py_error.hpp"
#include "python.hpp"

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

}  // namespace marlune::py
