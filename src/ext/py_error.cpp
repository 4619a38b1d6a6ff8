// Python exceptions as C++ failures, and the way back.
#include "py_error.hpp"

#include <cstdio>
#include <new>

#include "panic.hpp"
#include "text.hpp"

namespace marlune::py {

void PyErrFailure::restore() noexcept {
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

std::string PyErrFailure::render() const {
    std::string traceback =
        traceback_ ? repr_or(traceback_.get(), "<traceback>") : std::string("None");
    return "PyErr { type: " + repr_or(type_.get(), "<unknown type>") +
           ", value: " + repr_or(value_.get(), "<unknown value>") +
           ", traceback: " + traceback + " }";
}

PyErrFailure take_pending() {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        PyErr_Fetch(&type, &value, &traceback);
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    return PyErrFailure(Ref::steal(type), Ref::steal(value), Ref::steal(traceback));
}

[[noreturn]] void throw_pending() {
    PyErrFailure pending = take_pending();
    if (PyErr_GivenExceptionMatches(pending.type(), panic_exception_type())) {
        // A nested call into this module failed internally (say from a user's __index__ that
        // called a bank method). Show where, then fail this call the same way.
        std::string message = str_or(pending.value(), "<unprintable PanicException>");
        std::fputs("--- marlune: a PanicException was raised in a nested call ---\n"
                   "--- its traceback follows; the outer call fails with the same message ---\n",
                   stderr);
        std::fflush(stderr);
        // PyErr_Display only prints: PyErr_Print would end the process for an exception that
        // also derives from SystemExit, skipping every finally block above this call.
        PyErr_Display(pending.type(), pending.value(), pending.traceback());
        throw InternalFailure(std::move(message));
    }
    throw pending;
}

namespace {

// Raises type(text).
void set_error(PyObject* type, const std::string& text) {
    PyObject* message = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (message == nullptr) return;  // leaves the encoding or memory error pending instead
    PyErr_SetObject(type, message);
    Py_DECREF(message);
}

void set_described(const DescribedError& error) {
    if (error.message()) {
        set_error(error.type(), *error.message());
    } else {
        PyErr_SetNone(error.type());
    }
}

}  // namespace

PyErrFailure materialise(const DescribedError& error) {
    set_described(error);
    return take_pending();
}

[[noreturn]] void throw_new_error(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw_pending();
}

void raise_current_exception() noexcept {
    try {
        throw;
    } catch (PyErrFailure& failure) {
        failure.restore();
    } catch (const DescribedError& error) {
        set_described(error);
    } catch (const InvalidArgument& error) {
        set_error(PyExc_ValueError, error.message());
    } catch (const InternalFailure& failure) {
        raise_panic(failure);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        raise_panic(InternalFailure(error.what()));
    } catch (...) {
        raise_panic(InternalFailure("unknown C++ exception"));
    }
}

}  // namespace marlune::py
