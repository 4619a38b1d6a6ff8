// Argument matching and conversion.
#include "arguments.hpp"

#include <string>
#include <vector>

#include "ref.hpp"
#include "text.hpp"

namespace marlune::py {

namespace {

[[noreturn]] void type_error(std::string message) {
    throw DescribedError(PyExc_TypeError, std::move(message));
}

bool same_name(PyObject* key, const char* name) {
    if (!PyUnicode_Check(key)) return false;
    int cmp = PyUnicode_CompareWithASCIIString(key, name);
    // Comparison of a str with ASCII text cannot fail; clear just in case it ever does.
    if (PyErr_Occurred()) PyErr_Clear();
    return cmp == 0;
}

// 'a' / 'a' and 'b' / 'a', 'b', and 'c'
std::string quoted_list(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) {
                out += " and ";
            } else {
                out += (i + 1 == names.size()) ? ", and " : ", ";
            }
        }
        out += "'";
        out += names[i];
        out += "'";
    }
    return out;
}

}  // namespace

void match_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                     std::span<Argument> matched) {
    const std::size_t positional = signature.positional.size();
    for (std::size_t p = 0; p < positional; ++p) matched[p] = {nullptr, signature.positional[p]};
    for (std::size_t k = 0; k < signature.keyword_only.size(); ++k) {
        matched[positional + k] = {nullptr, signature.keyword_only[k]};
    }

    const std::size_t given = static_cast<std::size_t>(PyTuple_Size(args));
    for (std::size_t i = 0; i < given && i < positional; ++i) {
        matched[i].object = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
    }
    if (given > positional) {
        type_error(signature.call_name() + " takes " + std::to_string(positional) +
                   " positional arguments but " + std::to_string(given) + " " +
                   (given == 1 ? "was" : "were") + " given");
    }

    if (kwargs != nullptr) {
        PyObject *key = nullptr, *value = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            Argument* slot = nullptr;
            for (Argument& candidate : matched) {
                if (same_name(key, candidate.name)) {
                    slot = &candidate;
                    break;
                }
            }
            if (slot == nullptr) {
                type_error(signature.call_name() + " got an unexpected keyword argument '" +
                           str_or(key, "<key>") + "'");
            }
            if (slot->object != nullptr) {
                type_error(signature.call_name() + " got multiple values for argument '" +
                           slot->name + "'");
            }
            slot->object = value;
        }
    }

    if (given < positional) {
        std::vector<const char*> missing;
        for (std::size_t p = 0; p < positional; ++p) {
            if (matched[p].object == nullptr) missing.push_back(matched[p].name);
        }
        if (!missing.empty()) {
            type_error(signature.call_name() + " missing " + std::to_string(missing.size()) +
                       " required positional " + (missing.size() == 1 ? "argument" : "arguments") +
                       ": " + quoted_list(missing));
        }
    }
}

PyObject* sole_argument(PyObject* args, PyObject* kwargs, const char* name) noexcept {
    const Py_ssize_t given = PyTuple_Size(args);
    const Py_ssize_t keywords = kwargs != nullptr ? PyDict_Size(kwargs) : 0;
    if (given == 1 && keywords == 0) return PyTuple_GetItem(args, 0);
    if (given != 0 || keywords != 1) return nullptr;
    PyObject *key = nullptr, *value = nullptr;
    Py_ssize_t pos = 0;
    return PyDict_Next(kwargs, &pos, &key, &value) && same_name(key, name) ? value : nullptr;
}

std::uint64_t to_index(Argument argument) {
    return convert_argument(argument.name, [obj = argument.object] {
        Ref integer = PyLong_Check(obj) ? Ref::borrow(obj) : checked(PyNumber_Index(obj));
        unsigned long long value = PyLong_AsUnsignedLongLong(integer.get());
        if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_pending();
        return static_cast<std::uint64_t>(value);
    });
}

}  // namespace marlune::py
