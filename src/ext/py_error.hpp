// Python exceptions as C++ failures, and the way back.
//
// Inside an entry point every failure is a C++ exception: PyErrFailure for an exception taken
// from the interpreter, DescribedError for a type and a message that become an exception only
// when raised, and the core's two failures: marlune::InvalidArgument (raised as ValueError) and
// marlune::InternalFailure for a broken invariant (raised as PanicException). The call guard
// (guard.hpp) is the only place that turns them back into the interpreter's current exception.
#pragma once

#include <exception>
#include <optional>
#include <string>

#include "core/failure.hpp"
#include "ref.hpp"

namespace marlune::py {

class PyErrFailure : public std::exception {
public:
    // Owns the three parts of a normalised exception (traceback may be null).
    PyErrFailure(Ref type, Ref value, Ref traceback) noexcept
        : type_(std::move(type)), value_(std::move(value)), traceback_(std::move(traceback)) {}

    PyObject* type() const noexcept { return type_.get(); }
    PyObject* value() const noexcept { return value_.get(); }
    PyObject* traceback() const noexcept { return traceback_.get(); }

    // Makes this the interpreter's current exception; the failure is empty afterwards.
    void restore() noexcept;
    // "PyErr { type: T, value: V, traceback: B }", used inside internal-failure messages.
    std::string render() const;
    const char* what() const noexcept override { return "Python exception"; }

private:
    Ref type_, value_, traceback_;
};

// An exception of one of the interpreter's own types (PyExc_TypeError, ...: they live for the
// whole process), made only when it is raised.
class DescribedError : public std::exception {
public:
    // The message is the exception's single argument.
    DescribedError(PyObject* type, std::string message)
        : type_(type), message_(std::move(message)) {}
    // An exception raised without arguments (OverflowError() for an oversized length).
    explicit DescribedError(PyObject* type) noexcept : type_(type) {}

    PyObject* type() const noexcept { return type_; }
    const std::optional<std::string>& message() const noexcept { return message_; }
    const char* what() const noexcept override { return message_ ? message_->c_str() : ""; }

private:
    PyObject* type_;
    std::optional<std::string> message_;
};

// Takes the interpreter's pending exception and throws it: as PyErrFailure, or, for a
// PanicException raised by a nested call into this module, as an InternalFailure with the same
// message (after printing it with a banner). No pending exception becomes SystemError
// "attempted to fetch exception but none was set".
[[noreturn]] void throw_pending();
// Like throw_pending, but returns the exception as a value for callers that inspect it.
PyErrFailure take_pending();

// Materialises a described error as a PyErrFailure (creates the exception object).
PyErrFailure materialise(const DescribedError& error);

// Raises `type(message)` in the interpreter and throws it as a PyErrFailure.
[[noreturn]] void throw_new_error(PyObject* type, const std::string& message);

// Runs `body`; a Python error escaping it becomes InternalFailure("<prefix>: <rendering>"),
// for lookups whose failure means the environment is broken rather than the caller's input.
template <class Body>
auto internal_on_python_error(const char* prefix, Body&& body) -> decltype(body()) {
    try {
        return body();
    } catch (const PyErrFailure& error) {
        throw InternalFailure(std::string(prefix) + ": " + error.render());
    }
}

// Turns the failure being handled (call inside a catch block) into the interpreter's current
// exception. Returns nothing; the caller returns its failure value.
void raise_current_exception() noexcept;

}  // namespace marlune::py
