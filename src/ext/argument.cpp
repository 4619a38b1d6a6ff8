// Reporting a failed conversion against its argument.
#include "argument.hpp"

#include <string>
#include <utility>

#include "ref.hpp"

namespace marlune::py {

[[noreturn]] void rethrow_for_argument(const char* name) {
    PyErrFailure failure = [] {
        try {
            throw;
        } catch (PyErrFailure& pending) {
            return std::move(pending);
        } catch (const DescribedError& error) {
            return materialise(error);
        }
    }();
    std::string note = std::string("while processing '") + name + "'";
    Ref result = Ref::steal(PyObject_CallMethod(failure.value(), "add_note", "s", note.c_str()));
    // Interpreters before 3.11 have no notes; the exception itself is what matters.
    if (!result) PyErr_Clear();
    throw std::move(failure);
}

[[noreturn]] void conversion_failed(Argument argument) {
    try {
        throw_pending();
    } catch (const PyErrFailure&) {
        rethrow_for_argument(argument.name);
    }
}

}  // namespace marlune::py
