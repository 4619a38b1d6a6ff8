// Read-only views of one-dimensional float32 arrays, the Python it corresponds to:
//
//     if not (isinstance(obj, numpy.ndarray) and obj.ndim == 1 and obj.dtype == numpy.float32):
//         raise TypeError(f"'{type(obj).__qualname__}' object is not an instance of 'ndarray'")
//     registry.borrow_shared(obj)      # given back by the view's destructor
//
// The data is read in place; contiguity is tested only when the data is about to be read.

#include "ext/numpy/view.hpp"

#include <string>
#include <utility>

#include "ext/numpy/api.hpp"
#include "ext/py_error.hpp"
#include "ext/text.hpp"

namespace marlune::py::numpy {
namespace {

bool is_float32_vector(const Api& numpy, PyObject* obj) {
    if (!numpy.is_array(obj) || as_array(obj)->nd != 1) return false;
    PyObject* descr = as_array(obj)->descr;
    Ref float32 = expect(numpy.descr_from_type(float32_type));
    return descr == float32.get() || numpy.equiv_types(descr, float32.get());
}

}  // namespace

ArrayView ArrayView::convert(PyObject* obj) {
    const Api numpy = api();
    if (!is_float32_vector(numpy, obj)) {
        throw DescribedError(PyExc_TypeError,
                             obj == Py_None ? std::string("'None' is not an instance of 'ndarray'")
                                            : not_an_instance_message(obj, "ndarray"));
    }
    return ArrayView(SharedArrayBorrow::take(numpy, obj));
}

ArrayView to_array(Argument argument) {
    return convert_argument(argument.name, [obj = argument.object] { return ArrayView::convert(obj); });
}

std::size_t ArrayView::size() const noexcept {
    return static_cast<std::size_t>(as_array(borrow_.array())->dimensions[0]);
}

std::span<const float> ArrayView::slice() const {
    const ArrayObject* array = as_array(borrow_.array());
    const std::size_t n = size();
    if (n == 0) return {};
    const bool contiguous = (array->flags & (c_contiguous_flag | f_contiguous_flag)) != 0;
    const bool aligned = (array->flags & aligned_flag) != 0;
    if (!contiguous || !aligned || array->data == nullptr) {
        throw DescribedError(PyExc_TypeError,
                             "The given array is not contiguous or is misaligned.");
    }
    return {reinterpret_cast<const float*>(array->data), n};
}

}  // namespace marlune::py::numpy
