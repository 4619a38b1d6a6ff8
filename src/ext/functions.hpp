// def heuristic_alpha(freq, sample_rate): ...
// def heuristic_alphas(freqs, sample_rate): ...
// def alpha_from_tau(tau, sample_rate): ...
// def tau_from_alpha(alpha, sample_rate): ...
// def midi_to_hz(midi, tuning): ...
//
// The module's free functions, as the method table from which module.cpp adds them.
#pragma once

#include "python.hpp"

namespace marlune::py {

// The functions' records, in the order the module adds them (the order of __all__), ending with
// a sentinel. METH_STATIC: the functions get NULL for self, and their __self__ is None rather
// than the module.
PyMethodDef* function_table() noexcept;

}  // namespace marlune::py
