// The module's free functions: conversions between the quantities that parameterise a bank.
// Arguments are rounded to 32-bit floats, the first before the second; results are widened
// exactly to Python floats.
#include "functions.hpp"

#include "arguments.hpp"
#include "core/parameters.hpp"
#include "guard.hpp"
#include "method_table.hpp"
#include "numpy/result.hpp"
#include "numpy/view.hpp"
#include "signature.hpp"

namespace marlune::py {

namespace {

constexpr const char* heuristic_alpha_parameters[] = {"freq", "sample_rate"};
constexpr const char* heuristic_alphas_parameters[] = {"freqs", "sample_rate"};
constexpr const char* alpha_from_tau_parameters[] = {"tau", "sample_rate"};
constexpr const char* tau_from_alpha_parameters[] = {"alpha", "sample_rate"};
constexpr const char* midi_to_hz_parameters[] = {"midi", "tuning"};

constexpr Signature heuristic_alpha_signature{.name = "heuristic_alpha",
                                                     .positional = heuristic_alpha_parameters};
constexpr Signature heuristic_alphas_signature{.name = "heuristic_alphas",
                                                      .positional = heuristic_alphas_parameters};
constexpr Signature alpha_from_tau_signature{.name = "alpha_from_tau",
                                                    .positional = alpha_from_tau_parameters};
constexpr Signature tau_from_alpha_signature{.name = "tau_from_alpha",
                                                    .positional = tau_from_alpha_parameters};
constexpr Signature midi_to_hz_signature{.name = "midi_to_hz",
                                                .positional = midi_to_hz_parameters};

// A function of two floats returning a float.
template <const Signature& S, float (*F)(float, float)>
PyObject* scalar_function(PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        auto [first_arg, second_arg] = match_arguments<S>(args, kwargs);
        float first = to_f32(first_arg);
        float second = to_f32(second_arg);
        return expect(PyFloat_FromDouble(static_cast<double>(F(first, second)))).release();
    });
}

PyObject* heuristic_alpha(PyObject*, PyObject* args, PyObject* kwargs) {
    return scalar_function<heuristic_alpha_signature, marlune::heuristic_alpha>(args, kwargs);
}

PyObject* heuristic_alphas(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        auto [freqs_arg, rate_arg] = match_arguments<heuristic_alphas_signature>(args, kwargs);
        numpy::ArrayView freqs = numpy::to_array(freqs_arg);
        float sample_rate = to_f32(rate_arg);
        // After the sample rate's conversion, which may have run user code that changed freqs.
        return numpy::float32_array(marlune::heuristic_alphas(freqs.elements(), sample_rate)).release();
    });
}

PyObject* alpha_from_tau(PyObject*, PyObject* args, PyObject* kwargs) {
    return scalar_function<alpha_from_tau_signature, marlune::alpha_from_tau>(args, kwargs);
}

PyObject* tau_from_alpha(PyObject*, PyObject* args, PyObject* kwargs) {
    return scalar_function<tau_from_alpha_signature, marlune::tau_from_alpha>(args, kwargs);
}

PyObject* midi_to_hz(PyObject*, PyObject* args, PyObject* kwargs) {
    return scalar_function<midi_to_hz_signature, marlune::midi_to_hz>(args, kwargs);
}

PyMethodDef function_records[] = {
    keywords_entry<heuristic_alpha_signature, heuristic_alpha>(METH_STATIC),
    keywords_entry<heuristic_alphas_signature, heuristic_alphas>(METH_STATIC),
    keywords_entry<alpha_from_tau_signature, alpha_from_tau>(METH_STATIC),
    keywords_entry<tau_from_alpha_signature, tau_from_alpha>(METH_STATIC),
    keywords_entry<midi_to_hz_signature, midi_to_hz>(METH_STATIC),
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

}  // namespace

PyMethodDef* function_table() noexcept { return function_records; }

}  // namespace marlune::py
