// Footprints of arrays and the conflict rule of the borrow registry.

#include "ext/numpy/alias_key.hpp"

#include <functional>
#include <numeric>

namespace marlune::py::numpy {
namespace {

// The size of a signed word, without overflow for the most negative one.
std::uintptr_t magnitude(std::intptr_t x) noexcept {
    const auto bits = static_cast<std::uintptr_t>(x);
    return x < 0 ? std::uintptr_t{0} - bits : bits;
}

// The non-negative greatest common divisor; gcd(x, 0) = |x|.
std::uintptr_t gcd(std::intptr_t x, std::intptr_t y) noexcept {
    return std::gcd(magnitude(x), magnitude(y));
}

// The object that owns the array's memory: the first base along the chain that is not an array,
// or the last array when the chain ends.
std::uintptr_t base_address(const Api& numpy, PyObject* array) noexcept {
    for (;;) {
        PyObject* base = as_array(array)->base;
        if (base == nullptr) return reinterpret_cast<std::uintptr_t>(array);
        if (!numpy.is_array(base)) return reinterpret_cast<std::uintptr_t>(base);
        array = base;
    }
}

AliasKey alias_key(const Api& numpy, PyObject* obj) noexcept {
    const ArrayObject* array = as_array(obj);
    const auto data = reinterpret_cast<std::uintptr_t>(array->data);
    const auto element_size = static_cast<std::uintptr_t>(numpy.element_size(array->descr));
    // A zero-dimensional array is one element: a grid with a single point.
    if (array->nd <= 0) return {data, data + element_size, data, 0, element_size};

    AliasKey key{data, data, data, 0, element_size};
    bool empty = false;
    for (int axis = 0; axis < array->nd; ++axis) empty = empty || array->dimensions[axis] == 0;
    if (!empty) {
        // Offsets wrap like addresses do; for any real array they stay in range.
        std::uintptr_t low = 0, high = 0;
        for (int axis = 0; axis < array->nd; ++axis) {
            const std::intptr_t stride = array->strides[axis];
            const std::uintptr_t extent = static_cast<std::uintptr_t>(array->dimensions[axis] - 1) *
                                          static_cast<std::uintptr_t>(stride);
            (stride < 0 ? low : high) += extent;
        }
        key.span_start = data + low;
        key.span_end = data + high + element_size;
    }

    std::intptr_t folded = array->strides[0];
    for (int axis = 1; axis < array->nd; ++axis) {
        folded = static_cast<std::intptr_t>(gcd(folded, array->strides[axis]));
    }
    key.stride_gcd = folded;
    return key;
}

}  // namespace

std::size_t AliasKeyHash::operator()(const AliasKey& key) const noexcept {
    std::size_t h = std::hash<std::uintptr_t>{}(key.data_start);
    for (std::uintptr_t word : {key.span_start, key.span_end,
                                static_cast<std::uintptr_t>(key.stride_gcd), key.element_size}) {
        h ^= std::hash<std::uintptr_t>{}(word) + 0x9e3779b97f4a7c15u + (h << 6) + (h >> 2);
    }
    return h;
}

Footprint footprint(const Api& numpy, PyObject* array) noexcept {
    return {base_address(numpy, array), alias_key(numpy, array)};
}

// Every element of an array starts at its data address plus a sum of multiples of its strides,
// so on a grid data_start + stride_gcd * i. Both keys' elements therefore start on grids of step
// g = gcd of the two stride gcds, offset from each other by d = (K.data_start - O.data_start)
// mod g. An element of K at k and one of O at o share a byte exactly when
// -K.element_size < k - o < O.element_size, and k - o takes only the values d + g * i; the two
// nearest that interval are d and d - g. So the grids meet exactly when d < O.element_size or
// g - d < K.element_size. The real elements are a subset of the grids (and of the spans), hence
// the rule may report a conflict where none exists, never the reverse. With g = 0 every element
// of each key sits at its data address.
bool conflicts(const AliasKey& key, const AliasKey& other) noexcept {
    if (other.span_start >= key.span_end || key.span_start >= other.span_end) return false;
    const bool key_above = key.data_start >= other.data_start;
    const std::uintptr_t distance = key_above ? key.data_start - other.data_start
                                              : other.data_start - key.data_start;
    const std::uintptr_t g = gcd(key.stride_gcd, other.stride_gcd);
    if (g == 0) return key_above ? distance < other.element_size : distance < key.element_size;
    const std::uintptr_t rest = distance % g;
    const std::uintptr_t d = key_above || rest == 0 ? rest : g - rest;
    return d < other.element_size || g - d < key.element_size;
}

}  // namespace marlune::py::numpy
