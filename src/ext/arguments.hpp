// Argument matching and conversion for the tuple-and-dictionary calling convention.
//
// Matching gives one Argument per parameter (positional parameters first, then keyword-only
// ones) and fails with the interpreter-style TypeError texts. Conversions attach the note
// "while processing '<name>'" to the exception of a failed conversion where notes exist.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "argument.hpp"
#include "py_error.hpp"
#include "python.hpp"
#include "signature.hpp"

namespace marlune::py {

// Matches `args` (a tuple) and `kwargs` (a dict or null) to `signature`; `matched` has one entry
// per parameter.
void match_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                     std::span<Argument> matched);

// The argument of a call to a function whose one parameter is `name`, when it came alone, by
// position or by that name; else null, and the general matcher decides (and names the error).
// Borrowed.
PyObject* sole_argument(PyObject* args, PyObject* kwargs, const char* name) noexcept;

template <const Signature& S>
auto match_arguments(PyObject* args, PyObject* kwargs) {
    std::array<Argument, S.positional.size() + S.keyword_only.size()> matched;
    if constexpr (matched.size() == 1 && S.keyword_only.empty()) {
        // Methods called once per sample or per channel take one argument; spare them the
        // general matcher's bookkeeping.
        if (PyObject* only = sole_argument(args, kwargs, S.positional[0])) {
            matched[0] = {only, S.positional[0]};
            return matched;
        }
    }
    match_arguments(S, args, kwargs, matched);
    return matched;
}

// The interpreter's float conversion, rounded once to the nearest 32-bit float. Inline: a
// method called once per sample converts one float per call.
inline float to_f32(Argument argument) {
    const double value = PyFloat_AsDouble(argument.object);
    if (value == -1.0 && PyErr_Occurred()) conversion_failed(argument);
    return static_cast<float>(value);
}

// A non-negative integer that fits in 64 bits (ints directly, others through __index__).
std::uint64_t to_index(Argument argument);
// Arrays are converted by numpy::to_array (numpy/view.hpp).

}  // namespace marlune::py
