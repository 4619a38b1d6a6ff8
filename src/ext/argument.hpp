// One argument of a call, as the call's matching hands it to a conversion, and how a failed
// conversion is reported against it. Every conversion of the binding (numbers in arguments.hpp,
// arrays in numpy/view.hpp) reports its failures through these.
#pragma once

#include "py_error.hpp"
#include "python.hpp"

namespace marlune::py {

// A matched argument: the object (borrowed; null when an optional argument was not given) and
// the name of its parameter, which a failed conversion reports.
struct Argument {
    PyObject* object = nullptr;
    const char* name = nullptr;

    // Optional arguments that are absent or None are not given.
    bool given() const noexcept { return object != nullptr && object != Py_None; }
};

// Adds "while processing '<name>'" to the failure being handled and throws it on as a
// PyErrFailure. Call only inside a catch block for PyErrFailure or DescribedError.
[[noreturn]] void rethrow_for_argument(const char* name);

// Runs a conversion; a Python-level failure in it is reported against argument `name`.
// Internal failures pass through untouched.
template <class Convert>
auto convert_argument(const char* name, Convert&& convert) -> decltype(convert()) {
    try {
        return convert();
    } catch (const PyErrFailure&) {
        rethrow_for_argument(name);
    } catch (const DescribedError&) {
        rethrow_for_argument(name);
    }
}

// Takes the exception of the failed conversion of `argument` and throws it, noted.
[[noreturn]] void conversion_failed(Argument argument);

}  // namespace marlune::py
