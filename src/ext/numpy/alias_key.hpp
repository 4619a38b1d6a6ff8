// Which bytes of which memory an array can reach, as the borrow registry records it, and when two
// such records may share a byte.
//
// An array's footprint is the object that owns its memory (the end of its chain of array bases)
// and its alias key: the bytes between its lowest and highest element, where its data starts, the
// gcd of its strides and its element size. The key describes a superset of the bytes the array
// reaches, so a conflict test on keys may refuse more than it must, never less.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ext/numpy/api.hpp"

namespace marlune::py::numpy {

struct AliasKey {
    std::uintptr_t span_start;    // lowest byte any element covers
    std::uintptr_t span_end;      // one past the highest
    std::uintptr_t data_start;    // the array's data address
    std::intptr_t stride_gcd;     // the strides folded by gcd; one axis keeps its sign
    std::uintptr_t element_size;  // bytes of one element

    bool operator==(const AliasKey&) const = default;
};

struct AliasKeyHash {
    std::size_t operator()(const AliasKey& key) const noexcept;
};

struct Footprint {
    std::uintptr_t base;  // address of the object that owns the memory
    AliasKey key;

    bool operator==(const Footprint&) const = default;
};

// The footprint of an ndarray as it is now. Runs no Python code.
Footprint footprint(const Api& numpy, PyObject* array) noexcept;

// Whether some element of `key` and some element of `other` (two keys of one owner) may share a
// byte. False only when no byte can be shared.
bool conflicts(const AliasKey& key, const AliasKey& other) noexcept;

}  // namespace marlune::py::numpy
