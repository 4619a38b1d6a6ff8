// Owned references: a strong reference that is given back on every path out of a scope.
#pragma once

#include <utility>

#include "python.hpp"

namespace marlune::py {

class Ref {
public:
    Ref() = default;
    // Takes over a new reference (may be null).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Takes a new reference to a borrowed object (may be null).
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// A new reference from an interpreter call that may fail: null throws the pending exception
// (see py_error.hpp), anything else is owned by the result.
Ref checked(PyObject* p);
// A new reference from an interpreter call that is not expected to fail (making a float, a
// string, a tuple): null reports the pending error as unraisable and fails internally with
// "PyObject pointer is null".
Ref expect(PyObject* p);

// A new reference to None, for methods that return nothing.
inline PyObject* none() noexcept {
    Py_INCREF(Py_None);
    return Py_None;
}

}  // namespace marlune::py
