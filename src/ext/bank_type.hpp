// The ResonatorBank class: its instance layout and its one process-wide type object.
#pragma once

#include "borrow.hpp"
#include "core/bank.hpp"
#include "python.hpp"

namespace marlune::py {

// object header, the bank record inline, the borrow flag
struct BankObject {
    PyObject_HEAD
    ResonatorBank bank;
    BorrowFlag borrow_flag;
};

// The class, created at the first call and kept for the life of the process. Borrowed.
// Throws the creation error.
PyObject* resonator_bank_type();

}  // namespace marlune::py
