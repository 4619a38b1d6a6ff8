// def midi_to_hz(midi, tuning): ...
// def alpha_from_tau(tau, sample_rate): ...
// def tau_from_alpha(alpha, sample_rate): ...
// def heuristic_alpha(freq, sample_rate): ...
// def heuristic_alphas(freqs, sample_rate): ...
//
// Conversions between the quantities that parameterise a bank. Arguments are rounded to 32-bit
// floats, the first before the second; results are widened exactly to Python floats.
#include "functions.hpp"

#include "arguments.hpp"
#include "call.hpp"
#include "core/parameters.hpp"
#include "numpy/result.hpp"
#include "numpy/view.hpp"

namespace marlune::py {

namespace {

// A function of two floats returning a float.
template <const Signature& S, float (*F)(float, float)>
PyObject* scalar_function(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        auto [first_arg, second_arg] = match_arguments<2>(S, args, kwargs);
        float first = to_f32(first_arg, S.positional[0]);
        float second = to_f32(second_arg, S.positional[1]);
        return expect(PyFloat_FromDouble(static_cast<double>(F(first, second)))).release();
    });
}

constexpr const char* midi_params[] = {"midi", "tuning"};
constexpr const char* alpha_from_tau_params[] = {"tau", "sample_rate"};
constexpr const char* tau_from_alpha_params[] = {"alpha", "sample_rate"};
constexpr const char* heuristic_alpha_params[] = {"freq", "sample_rate"};
constexpr const char* heuristic_alphas_params[] = {"freqs", "sample_rate"};

constexpr Signature midi_to_hz_signature{"midi_to_hz()", midi_params};
constexpr Signature alpha_from_tau_signature{"alpha_from_tau()", alpha_from_tau_params};
constexpr Signature tau_from_alpha_signature{"tau_from_alpha()", tau_from_alpha_params};
constexpr Signature heuristic_alpha_signature{"heuristic_alpha()", heuristic_alpha_params};
constexpr Signature heuristic_alphas_signature{"heuristic_alphas()", heuristic_alphas_params};

PyObject* heuristic_alphas(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        auto [freqs_arg, rate_arg] = match_arguments<2>(heuristic_alphas_signature, args, kwargs);
        numpy::ArrayView freqs = numpy::to_array(freqs_arg, "freqs");
        float sample_rate = to_f32(rate_arg, "sample_rate");
        return numpy::float32_array(marlune::heuristic_alphas(freqs.slice(), sample_rate)).release();
    });
}


constexpr int static_with_keywords = METH_VARARGS | METH_KEYWORDS | METH_STATIC;

}  // namespace

PyMethodDef module_functions[5] = {
    {"heuristic_alpha",
     keywords_method<scalar_function<heuristic_alpha_signature, marlune::heuristic_alpha>>(),
     static_with_keywords, "heuristic_alpha(freq, sample_rate)\n--\n\n"},
    {"heuristic_alphas", keywords_method<heuristic_alphas>(), static_with_keywords,
     "heuristic_alphas(freqs, sample_rate)\n--\n\n"},
    {"alpha_from_tau",
     keywords_method<scalar_function<alpha_from_tau_signature, marlune::alpha_from_tau>>(),
     static_with_keywords, "alpha_from_tau(tau, sample_rate)\n--\n\n"},
    {"tau_from_alpha",
     keywords_method<scalar_function<tau_from_alpha_signature, marlune::tau_from_alpha>>(),
     static_with_keywords, "tau_from_alpha(alpha, sample_rate)\n--\n\n"},
    {"midi_to_hz", keywords_method<scalar_function<midi_to_hz_signature, marlune::midi_to_hz>>(),
     static_with_keywords, "midi_to_hz(midi, tuning)\n--\n\n"},
};

}  // namespace marlune::py
