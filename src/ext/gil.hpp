// Lets other Python threads run for the lifetime of the object; the interpreter lock is taken
// back when it ends, on every path, before any failure is turned into an exception. Nothing in
// its scope may touch a Python object.
#pragma once

#include "python.hpp"

namespace marlune::py {

class InterpreterLockReleased {
public:
    InterpreterLockReleased() noexcept : state_(PyEval_SaveThread()) {}
    ~InterpreterLockReleased() { PyEval_RestoreThread(state_); }
    InterpreterLockReleased(const InterpreterLockReleased&) = delete;
    InterpreterLockReleased& operator=(const InterpreterLockReleased&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace marlune::py
