// Argument matching and conversion for the tuple-and-dictionary calling convention.
//
// Matching fills one slot per parameter (positional parameters first, then keyword-only ones)
// with a borrowed reference, or null where an optional argument was not given, and fails with
// the interpreter-style TypeError texts. Conversions attach the note
// "while processing '<name>'" to the exception of a failed conversion where notes exist.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

#include "py_error.hpp"
#include "python.hpp"

namespace marlune::py {

struct Signature {
    const char* call_name;                   // "midi_to_hz()", "ResonatorBank.freq()"
    std::span<const char* const> positional;  // every one required
    std::span<const char* const> keyword_only = {};  // every one optional
};

// Matches `args` (a tuple) and `kwargs` (a dict or null) to `signature`; `slots` has one entry
// per parameter.
void match_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                     std::span<PyObject*> slots);

template <std::size_t N>
std::array<PyObject*, N> match_arguments(const Signature& signature, PyObject* args,
                                         PyObject* kwargs) {
    std::array<PyObject*, N> slots{};
    match_arguments(signature, args, kwargs, slots);
    return slots;
}

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

// The interpreter's float conversion, rounded once to the nearest 32-bit float.
float to_f32(PyObject* obj, const char* name);
// A non-negative integer that fits in 64 bits (ints directly, others through __index__).
std::uint64_t to_index(PyObject* obj, const char* name);
// Arrays are converted by numpy::to_array (numpy/view.hpp).

}  // namespace marlune::py
