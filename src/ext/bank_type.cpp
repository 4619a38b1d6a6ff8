// class ResonatorBank:
//     def __new__(cls, freqs, sample_rate, *, alphas=None, betas=None): ...
//     def process_sample(self, sample): ...      # and the other methods below
//     def __len__(self): ...
//
// A heap type made from a spec. Instances hold the bank record inline and a borrow flag:
// readers share it, writers take it alone, and a conflicting call fails at once.
#include "bank_type.hpp"

#include <limits>
#include <new>
#include <optional>
#include <span>
#include <utility>

#include "arguments.hpp"
#include "gil.hpp"
#include "guard.hpp"
#include "heap_type.hpp"
#include "method_table.hpp"
#include "numpy/result.hpp"
#include "numpy/view.hpp"
#include "once.hpp"
#include "ref.hpp"

namespace marlune::py {

namespace {

using numpy::ArrayView;

constexpr const char* class_name = "ResonatorBank";

// ---- how a call reaches the bank ---------------------------------------------------------------

BankObject* as_bank(PyObject* self) noexcept { return reinterpret_cast<BankObject*>(self); }

// Runs body(bank) on the bank of `self` while holding a borrow of it: SharedBorrow for readers,
// ExclusiveBorrow for writers.
template <class Borrow, class Body>
auto with_bank(PyObject* self, Body&& body) {
    BankObject* object = as_bank(self);
    Borrow borrow(object->borrow_flag);
    return body(object->bank);
}

// A method's body runs once the arguments are matched and the bank is borrowed: it converts
// the arguments, runs the operation and returns the result as a new reference. Its form is
// PyObject* (ResonatorBank& bank, std::span<const Argument> arguments), or without the
// arguments for a method without parameters.

// The entry point of a method with parameters: the arguments are matched to S before the bank
// is borrowed, so a call that does not match holds nothing.
template <class Borrow, const Signature& S, auto Body>
PyObject* method(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        const auto arguments = match_arguments<S>(args, kwargs);
        return with_bank<Borrow>(self, [&](ResonatorBank& bank) { return Body(bank, arguments); });
    });
}

// The entry point of a method without parameters.
template <class Borrow, auto Body>
PyObject* method_without_arguments(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [self] { return with_bank<Borrow>(self, Body); });
}

// ---- signatures ----------------------------------------------------------------------------------

constexpr const char* new_positional[] = {"freqs", "sample_rate"};
constexpr const char* new_keyword_only[] = {"alphas", "betas"};
constexpr const char* sample_parameters[] = {"sample"};
constexpr const char* samples_parameters[] = {"samples"};
constexpr const char* resonate_parameters[] = {"signal", "hop"};
constexpr const char* index_parameters[] = {"i"};

constexpr Signature new_signature{.name = "__new__", .class_name = class_name,
                                  .positional = new_positional, .keyword_only = new_keyword_only};

// A method and its positional parameters.
constexpr Signature method_signature(const char* name, std::span<const char* const> positional = {}) {
    return {.name = name, .class_name = class_name, .positional = positional};
}

constexpr Signature process_sample_signature = method_signature("process_sample", sample_parameters);
constexpr Signature process_samples_signature = method_signature("process_samples", samples_parameters);
constexpr Signature resonate_signature = method_signature("resonate", resonate_parameters);
constexpr Signature reset_signature = method_signature("reset");
constexpr Signature freq_signature = method_signature("freq", index_parameters);
constexpr Signature magnitude_signature = method_signature("magnitude", index_parameters);
constexpr Signature phase_signature = method_signature("phase", index_parameters);
constexpr Signature power_signature = method_signature("power", index_parameters);
constexpr Signature complex_signature = method_signature("complex", index_parameters);
constexpr Signature frequencies_signature = method_signature("frequencies");
constexpr Signature magnitudes_signature = method_signature("magnitudes");
constexpr Signature phases_signature = method_signature("phases");
constexpr Signature powers_signature = method_signature("powers");

// ---- lifecycle -----------------------------------------------------------------------------

// Returns a new reference to a fresh instance.
PyObject* bank_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        auto [freqs_arg, rate_arg, alphas_arg, betas_arg] = match_arguments<new_signature>(args, kwargs);

        ArrayView freqs = numpy::to_array(freqs_arg);
        float sample_rate = to_f32(rate_arg);
        std::optional<ArrayView> alphas, betas;
        if (alphas_arg.given()) alphas.emplace(numpy::to_array(alphas_arg));
        if (betas_arg.given()) betas.emplace(numpy::to_array(betas_arg));

        // Read only now that no user code runs any more; layout is checked for every array
        // before the lengths are compared.
        auto freq_values = freqs.elements();
        std::optional<std::span<const float>> alpha_values, beta_values;
        if (alphas) alpha_values = alphas->elements();
        if (betas) beta_values = betas->elements();

        ResonatorBank bank = build_bank(freq_values, sample_rate, alpha_values, beta_values);

        PyObject* self = allocate_instance(type);
        BankObject* object = as_bank(self);
        new (&object->bank) ResonatorBank(std::move(bank));
        new (&object->borrow_flag) BorrowFlag(0);
        return self;
    });
}

void bank_dealloc(PyObject* self) {
    guarded_unraisable([self] {
        BankObject* object = as_bank(self);
        object->bank.~ResonatorBank();
        object->borrow_flag.~BorrowFlag();
        free_instance(self);
    });
}

Py_ssize_t bank_length(PyObject* self) {
    return guarded<Py_ssize_t>(-1, [self] {
        const std::uint64_t count = with_bank<SharedBorrow>(
            self, [](const ResonatorBank& bank) { return bank.channel_count(); });
        if (count > static_cast<std::uint64_t>(std::numeric_limits<Py_ssize_t>::max())) {
            throw DescribedError(PyExc_OverflowError);
        }
        return static_cast<Py_ssize_t>(count);
    });
}

// ---- feeding samples ---------------------------------------------------------------------------

PyObject* process_sample(ResonatorBank& bank, std::span<const Argument> arguments) {
    bank.process_sample(to_f32(arguments[0]));
    return none();
}

// The block runs without the interpreter lock; the input array stays borrowed meanwhile.
PyObject* process_samples(ResonatorBank& bank, std::span<const Argument> arguments) {
    ArrayView samples = numpy::to_array(arguments[0]);
    const std::span<const float> block = samples.elements();
    {
        InterpreterLockReleased unlocked;
        bank.process_samples(block);
    }
    return none();
}

// Likewise; the frames become an array once the lock is back.
PyObject* resonate(ResonatorBank& bank, std::span<const Argument> arguments) {
    ArrayView signal = numpy::to_array(arguments[0]);
    const std::uint64_t hop = to_index(arguments[1]);
    // After the hop's conversion, which may have run user code that changed the signal.
    const std::span<const float> samples = signal.elements();
    std::optional<ResonatorBank::Frames> frames;
    {
        InterpreterLockReleased unlocked;
        frames.emplace(bank.resonate(samples, hop));
    }
    return numpy::complex64_array(std::move(frames->values), frames->frames, frames->channels)
        .release();
}

PyObject* reset(ResonatorBank& bank) {
    bank.reset();
    return none();
}

// ---- readouts ------------------------------------------------------------------------------------

// Python objects for one channel's value. Return new references, or null with an exception set.
PyObject* to_python(float value) { return PyFloat_FromDouble(static_cast<double>(value)); }
PyObject* to_python(Complex32 value) {
    return PyComplex_FromDoubles(static_cast<double>(value.real()), static_cast<double>(value.imag()));
}

// One channel's value, by a readout such as &ResonatorBank::freq.
template <auto Read>
PyObject* channel_readout(ResonatorBank& bank, std::span<const Argument> arguments) {
    return expect(to_python((std::as_const(bank).*Read)(to_index(arguments[0])))).release();
}

// The whole bank at once, as a new float32 array.
template <Buffer<float> (ResonatorBank::*Read)() const>
PyObject* bank_readout(ResonatorBank& bank) {
    return numpy::float32_array((std::as_const(bank).*Read)()).release();
}

// ---- method table, slots and spec ----------------------------------------------------------------

// The method-table record of the method S with body Body, taking the borrow Borrow.
template <class Borrow, const Signature& S, auto Body>
PyMethodDef method_entry() {
    if constexpr (S.positional.empty()) {
        return noargs_entry<S, method_without_arguments<Borrow, Body>>();
    } else {
        return keywords_entry<S, method<Borrow, S, Body>>();
    }
}

// Writers hold the bank alone, readers share it.
template <const Signature& S, auto Body>
PyMethodDef writer() {
    return method_entry<ExclusiveBorrow, S, Body>();
}
template <const Signature& S, auto Body>
PyMethodDef reader() {
    return method_entry<SharedBorrow, S, Body>();
}

PyMethodDef bank_methods[] = {
    writer<process_sample_signature, process_sample>(),
    writer<process_samples_signature, process_samples>(),
    writer<resonate_signature, resonate>(),
    writer<reset_signature, reset>(),
    reader<freq_signature, channel_readout<&ResonatorBank::freq>>(),
    reader<magnitude_signature, channel_readout<&ResonatorBank::magnitude>>(),
    reader<phase_signature, channel_readout<&ResonatorBank::phase>>(),
    reader<power_signature, channel_readout<&ResonatorBank::power>>(),
    reader<complex_signature, channel_readout<&ResonatorBank::complex_value>>(),
    reader<frequencies_signature, bank_readout<&ResonatorBank::frequencies>>(),
    reader<magnitudes_signature, bank_readout<&ResonatorBank::magnitudes>>(),
    reader<phases_signature, bank_readout<&ResonatorBank::phases>>(),
    reader<powers_signature, bank_readout<&ResonatorBank::powers>>(),
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

PyType_Slot bank_slots[] = {
    {Py_tp_doc, const_cast<char*>(text_signature<new_signature>)},
    {Py_tp_new, reinterpret_cast<void*>(bank_new)},
    {Py_mp_length, reinterpret_cast<void*>(bank_length)},
    {Py_tp_methods, bank_methods},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(bank_dealloc)},
    {0, nullptr},  // sentinel
};

// The interpreter keeps a pointer into the name on some versions, so it must outlive the type.
constexpr const char bank_type_name[] = "builtins.ResonatorBank";

PyType_Spec bank_spec = {
    .name = bank_type_name,
    .basicsize = static_cast<int>(sizeof(BankObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = bank_slots,
};

OnceCell<PyObject*> bank_type_cell;

}  // namespace

PyObject* resonator_bank_type() {
    return bank_type_cell.get_or_init([] { return checked(PyType_FromSpec(&bank_spec)).release(); });
}

}  // namespace marlune::py
