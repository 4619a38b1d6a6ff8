// Read-only views of one-dimensional float32 arrays, the Python it corresponds to:
//
//     def require_vector(obj):
//         if not (isinstance(obj, numpy.ndarray) and obj.ndim == 1 and obj.dtype == numpy.float32):
//             raise TypeError(f"'{type(obj).__qualname__}' object is not an instance of 'ndarray'")
//     require_vector(obj)
//     registry.borrow_shared(obj)      # given back by the view's destructor
//     ...                              # later arguments are converted
//     require_vector(obj)              # again, then contiguity, then read in place

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

// The conversion's test, reported against the argument `name`.
void require_float32_vector(const Api& numpy, PyObject* obj, const char* name) {
    convert_argument(name, [&] {
        if (is_float32_vector(numpy, obj)) return;
        throw DescribedError(PyExc_TypeError,
                             obj == Py_None ? std::string("'None' is not an instance of 'ndarray'")
                                            : not_an_instance_message(obj, "ndarray"));
    });
}

}  // namespace

ArrayView to_array(Argument argument) {
    const Api numpy = api();
    require_float32_vector(numpy, argument.object, argument.name);
    return ArrayView(argument.name, SharedArrayBorrow::take(numpy, argument.object));
}

std::span<const float> ArrayView::elements() {
    const Api numpy = api();
    PyObject* obj = borrow_.array();
    require_float32_vector(numpy, obj, name_);
    const ArrayObject* array = as_array(obj);
    const auto n = static_cast<std::size_t>(array->dimensions[0]);
    if (n != 0) {
        const bool contiguous = (array->flags & (c_contiguous_flag | f_contiguous_flag)) != 0;
        const bool aligned = (array->flags & aligned_flag) != 0;
        if (!contiguous || !aligned || array->data == nullptr) {
            throw DescribedError(PyExc_TypeError,
                                 "The given array is not contiguous or is misaligned.");
        }
    }
    borrow_.cover_present_layout(numpy);
    if (n == 0) return {};
    return {reinterpret_cast<const float*>(array->data), n};
}

}  // namespace marlune::py::numpy
