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

#include "arguments.hpp"
#include "call.hpp"
#include "gil.hpp"
#include "heap_type.hpp"
#include "numpy/result.hpp"
#include "numpy/view.hpp"
#include "once.hpp"
#include "ref.hpp"

namespace marlune::py {

namespace {

using numpy::ArrayView;

BankObject* as_bank(PyObject* self) noexcept { return reinterpret_cast<BankObject*>(self); }

// ---- lifecycle -----------------------------------------------------------------------------

constexpr const char* new_positional[] = {"freqs", "sample_rate"};
constexpr const char* new_keyword_only[] = {"alphas", "betas"};
constexpr Signature new_signature{"ResonatorBank.__new__()", new_positional, new_keyword_only};

// Returns a new reference to a fresh instance.
PyObject* bank_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        auto [freqs_arg, rate_arg, alphas_arg, betas_arg] =
            match_arguments<4>(new_signature, args, kwargs);

        ArrayView freqs = numpy::to_array(freqs_arg, "freqs");
        float sample_rate = to_f32(rate_arg, "sample_rate");
        auto given = [](PyObject* arg) { return arg != nullptr && arg != Py_None; };
        std::optional<ArrayView> alphas, betas;
        if (given(alphas_arg)) {
            alphas.emplace(numpy::to_array(alphas_arg, "alphas"));
        }
        if (given(betas_arg)) {
            betas.emplace(numpy::to_array(betas_arg, "betas"));
        }

        // Layout is checked for every array before the lengths are compared.
        auto freq_values = freqs.slice();
        std::optional<std::span<const float>> alpha_values, beta_values;
        if (alphas) alpha_values = alphas->slice();
        if (betas) beta_values = betas->slice();

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
        BankObject* object = as_bank(self);
        SharedBorrow borrow(object->borrow_flag);
        std::uint64_t count = object->bank.channel_count();
        if (count > static_cast<std::uint64_t>(std::numeric_limits<Py_ssize_t>::max())) {
            throw DescribedError(PyExc_OverflowError);
        }
        return static_cast<Py_ssize_t>(count);
    });
}

// ---- feeding samples ---------------------------------------------------------------------------

constexpr const char* sample_params[] = {"sample"};
constexpr Signature process_sample_signature{"ResonatorBank.process_sample()", sample_params};

PyObject* process_sample(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        auto [sample_arg] = match_arguments<1>(process_sample_signature, args, kwargs);
        BankObject* object = as_bank(self);
        ExclusiveBorrow borrow(object->borrow_flag);
        float sample = to_f32(sample_arg, "sample");
        object->bank.process_sample(sample);
        return none();
    });
}

constexpr const char* samples_params[] = {"samples"};
constexpr Signature process_samples_signature{"ResonatorBank.process_samples()", samples_params};

PyObject* process_samples(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        auto [samples_arg] = match_arguments<1>(process_samples_signature, args, kwargs);
        BankObject* object = as_bank(self);
        ExclusiveBorrow borrow(object->borrow_flag);
        ArrayView samples = numpy::to_array(samples_arg, "samples");
        std::span<const float> block = samples.slice();
        {
            InterpreterLockReleased unlocked;
            object->bank.process_samples(block);
        }
        return none();
    });
}

constexpr const char* resonate_params[] = {"signal", "hop"};
constexpr Signature resonate_signature{"ResonatorBank.resonate()", resonate_params};

PyObject* resonate(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        auto [signal_arg, hop_arg] = match_arguments<2>(resonate_signature, args, kwargs);
        BankObject* object = as_bank(self);
        ExclusiveBorrow borrow(object->borrow_flag);
        ArrayView signal = numpy::to_array(signal_arg, "signal");
        std::uint64_t hop = to_index(hop_arg, "hop");
        std::span<const float> samples = signal.slice();
        std::optional<ResonatorBank::Frames> frames;
        {
            InterpreterLockReleased unlocked;
            frames.emplace(object->bank.resonate(samples, hop));
        }
        return numpy::complex64_array(std::move(frames->values), frames->frames, frames->channels)
            .release();
    });
}

PyObject* reset(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [self] {
        BankObject* object = as_bank(self);
        ExclusiveBorrow borrow(object->borrow_flag);
        object->bank.reset();
        return none();
    });
}

// ---- readouts ------------------------------------------------------------------------------------

constexpr const char* index_params[] = {"i"};

// One channel's value: shared borrow, index conversion, the core readout, then the result object.
template <const Signature& S, class Read, class Wrap>
PyObject* channel_readout(PyObject* self, PyObject* args, PyObject* kwargs, Read read, Wrap wrap) {
    return guarded<PyObject*>(nullptr, [&] {
        auto [index_arg] = match_arguments<1>(S, args, kwargs);
        BankObject* object = as_bank(self);
        SharedBorrow borrow(object->borrow_flag);
        std::uint64_t i = to_index(index_arg, "i");
        return expect(wrap(read(object->bank, i))).release();
    });
}

PyObject* float_object(float value) { return PyFloat_FromDouble(static_cast<double>(value)); }
PyObject* complex_object(Complex32 value) {
    return PyComplex_FromDoubles(static_cast<double>(value.real()), static_cast<double>(value.imag()));
}

constexpr Signature freq_signature{"ResonatorBank.freq()", index_params};
constexpr Signature magnitude_signature{"ResonatorBank.magnitude()", index_params};
constexpr Signature phase_signature{"ResonatorBank.phase()", index_params};
constexpr Signature power_signature{"ResonatorBank.power()", index_params};
constexpr Signature complex_signature{"ResonatorBank.complex()", index_params};

PyObject* freq(PyObject* self, PyObject* args, PyObject* kwargs) {
    return channel_readout<freq_signature>(
        self, args, kwargs, [](const ResonatorBank& b, std::uint64_t i) { return b.freq(i); }, float_object);
}
PyObject* magnitude(PyObject* self, PyObject* args, PyObject* kwargs) {
    return channel_readout<magnitude_signature>(
        self, args, kwargs, [](const ResonatorBank& b, std::uint64_t i) { return b.magnitude(i); },
        float_object);
}
PyObject* phase(PyObject* self, PyObject* args, PyObject* kwargs) {
    return channel_readout<phase_signature>(
        self, args, kwargs, [](const ResonatorBank& b, std::uint64_t i) { return b.phase(i); }, float_object);
}
PyObject* power(PyObject* self, PyObject* args, PyObject* kwargs) {
    return channel_readout<power_signature>(
        self, args, kwargs, [](const ResonatorBank& b, std::uint64_t i) { return b.power(i); }, float_object);
}
PyObject* complex_value(PyObject* self, PyObject* args, PyObject* kwargs) {
    return channel_readout<complex_signature>(
        self, args, kwargs, [](const ResonatorBank& b, std::uint64_t i) { return b.complex_value(i); },
        complex_object);
}

// The whole bank at once, as a new float32 array.
template <Buffer<float> (ResonatorBank::*Read)() const>
PyObject* bank_readout(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [self] {
        BankObject* object = as_bank(self);
        SharedBorrow borrow(object->borrow_flag);
        return numpy::float32_array((object->bank.*Read)()).release();
    });
}

// ---- method table, slots and spec ----------------------------------------------------------------

PyMethodDef bank_methods[] = {
    {"process_sample", keywords_method<process_sample>(), METH_VARARGS | METH_KEYWORDS,
     "process_sample($self, sample)\n--\n\n"},
    {"process_samples", keywords_method<process_samples>(), METH_VARARGS | METH_KEYWORDS,
     "process_samples($self, samples)\n--\n\n"},
    {"resonate", keywords_method<resonate>(), METH_VARARGS | METH_KEYWORDS,
     "resonate($self, signal, hop)\n--\n\n"},
    {"reset", reset, METH_NOARGS, "reset($self)\n--\n\n"},
    {"freq", keywords_method<freq>(), METH_VARARGS | METH_KEYWORDS, "freq($self, i)\n--\n\n"},
    {"magnitude", keywords_method<magnitude>(), METH_VARARGS | METH_KEYWORDS, "magnitude($self, i)\n--\n\n"},
    {"phase", keywords_method<phase>(), METH_VARARGS | METH_KEYWORDS, "phase($self, i)\n--\n\n"},
    {"power", keywords_method<power>(), METH_VARARGS | METH_KEYWORDS, "power($self, i)\n--\n\n"},
    {"complex", keywords_method<complex_value>(), METH_VARARGS | METH_KEYWORDS, "complex($self, i)\n--\n\n"},
    {"frequencies", bank_readout<&ResonatorBank::frequencies>, METH_NOARGS, "frequencies($self)\n--\n\n"},
    {"magnitudes", bank_readout<&ResonatorBank::magnitudes>, METH_NOARGS, "magnitudes($self)\n--\n\n"},
    {"phases", bank_readout<&ResonatorBank::phases>, METH_NOARGS, "phases($self)\n--\n\n"},
    {"powers", bank_readout<&ResonatorBank::powers>, METH_NOARGS, "powers($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

PyType_Slot bank_slots[] = {
    {Py_tp_doc, const_cast<char*>("ResonatorBank(freqs, sample_rate, *, alphas=None, betas=None)\n--\n\n")},
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
