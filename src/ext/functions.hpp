// The module's free functions.
#pragma once

#include "python.hpp"

namespace marlune::py {

// The static function records, in the order the module adds them:
// heuristic_alpha, heuristic_alphas, alpha_from_tau, tau_from_alpha, midi_to_hz.
// They live for the whole process; the function objects keep pointers to them.
extern PyMethodDef module_functions[5];

}  // namespace marlune::py
