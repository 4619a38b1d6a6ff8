// The module's free functions: conversions between the quantities that parameterise a bank.
// Arguments are rounded to 32-bit floats, the first before the second; results are widened
// exactly to Python floats.
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
PyObject* scalar_function(PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        auto [first_arg, second_arg] = match_arguments<S>(args, kwargs);
        float first = to_f32(first_arg);
        float second = to_f32(second_arg);
        return expect(PyFloat_FromDouble(static_cast<double>(F(first, second)))).release();
    });
}

}  // namespace

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

}  // namespace marlune::py
