// def heuristic_alpha(freq, sample_rate): ...
// def heuristic_alphas(freqs, sample_rate): ...
// def alpha_from_tau(tau, sample_rate): ...
// def tau_from_alpha(alpha, sample_rate): ...
// def midi_to_hz(midi, tuning): ...
//
// The module's free functions: the signature of each, and its entry point, which takes
// (NULL, args, kwargs) and returns a new reference. module.cpp lists them in its function table.
#pragma once

#include "python.hpp"
#include "signature.hpp"

namespace marlune::py {

inline constexpr const char* heuristic_alpha_parameters[] = {"freq", "sample_rate"};
inline constexpr const char* heuristic_alphas_parameters[] = {"freqs", "sample_rate"};
inline constexpr const char* alpha_from_tau_parameters[] = {"tau", "sample_rate"};
inline constexpr const char* tau_from_alpha_parameters[] = {"alpha", "sample_rate"};
inline constexpr const char* midi_to_hz_parameters[] = {"midi", "tuning"};

inline constexpr Signature heuristic_alpha_signature{.name = "heuristic_alpha",
                                                     .positional = heuristic_alpha_parameters};
inline constexpr Signature heuristic_alphas_signature{.name = "heuristic_alphas",
                                                      .positional = heuristic_alphas_parameters};
inline constexpr Signature alpha_from_tau_signature{.name = "alpha_from_tau",
                                                    .positional = alpha_from_tau_parameters};
inline constexpr Signature tau_from_alpha_signature{.name = "tau_from_alpha",
                                                    .positional = tau_from_alpha_parameters};
inline constexpr Signature midi_to_hz_signature{.name = "midi_to_hz",
                                                .positional = midi_to_hz_parameters};

PyObject* heuristic_alpha(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* heuristic_alphas(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* alpha_from_tau(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* tau_from_alpha(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* midi_to_hz(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace marlune::py
