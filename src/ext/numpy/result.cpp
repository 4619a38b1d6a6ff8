// Result arrays over the module's own buffers. In Python terms:
//
//     class PySliceContainer:          # builtins.PySliceContainer, not instantiable
//         """owns one result buffer"""
//     arr = numpy.ndarray((n,), numpy.float32, buffer=<the buffer>)
//     arr.base = PySliceContainer(<the buffer>)
//
// The container frees the buffer when the last array over it has gone.

#include "ext/numpy/result.hpp"

#include <cstddef>
#include <string>

#include "core/failure.hpp"
#include "ext/numpy/api.hpp"
#include "ext/guard.hpp"
#include "ext/heap_type.hpp"
#include "ext/once.hpp"
#include "ext/py_error.hpp"

namespace marlune::py::numpy {
namespace {

// ---- object struct -----------------------------------------------------------------------------

// Frees storage given the three values a buffer released.
using FreeRoutine = void (*)(void* data, std::size_t size, std::size_t capacity) noexcept;

struct SliceContainer {
    PyObject ob_base;
    void* data;
    std::size_t size;
    std::size_t capacity;
    FreeRoutine free_storage;
};
static_assert(sizeof(SliceContainer) == sizeof(PyObject) + 4 * sizeof(void*));

template <class T>
void free_buffer(void* data, std::size_t size, std::size_t capacity) noexcept {
    Buffer<T>::free_storage(static_cast<T*>(data), size, capacity);
}

// ---- lifecycle ---------------------------------------------------------------------------------

// Only this module makes containers, around buffers it gives away.
PyObject* container_new(PyTypeObject*, PyObject*, PyObject*) {
    return guarded<PyObject*>(nullptr, []() -> PyObject* {
        throw DescribedError(PyExc_TypeError, "cannot create 'builtins.PySliceContainer' instances");
    });
}

void container_dealloc(PyObject* self) {
    guarded_unraisable([self] {
        auto* container = reinterpret_cast<SliceContainer*>(self);
        if (container->free_storage != nullptr) {
            container->free_storage(container->data, container->size, container->capacity);
        }
        free_instance(self);
    });
}

// ---- slots and spec ----------------------------------------------------------------------------

PyType_Slot container_slots[] = {
    {Py_tp_doc, const_cast<char*>("Keeps a buffer owned by native code alive on the Python heap.")},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_new, reinterpret_cast<void*>(container_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(container_dealloc)},
    {0, nullptr},  // sentinel
};

PyType_Spec container_spec = {
    .name = "builtins.PySliceContainer",
    .basicsize = static_cast<int>(sizeof(SliceContainer)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = container_slots,
};

OnceCell<PyTypeObject*> container_type_cell;

// Borrowed; the type is made once and kept for the life of the process.
PyTypeObject* container_type() {
    return container_type_cell.get_or_init([] {
        PyObject* type = PyType_FromSpec(&container_spec);
        if (type == nullptr) {
            PyErr_WriteUnraisable(nullptr);
            throw InternalFailure("failed to create type object for `PySliceContainer`");
        }
        return reinterpret_cast<PyTypeObject*>(type);
    });
}

// ---- building arrays ---------------------------------------------------------------------------

// The data address of an empty array: never read, but NumPy wants a real, aligned address.
alignas(16) float empty_placeholder[1];

// Returns a new reference to a container that owns `values`. The buffer is freed if that fails.
template <class T>
Ref make_container(Buffer<T>&& values) {
    Buffer<T> owned = std::move(values);
    PyTypeObject* type = container_type();
    Ref container = Ref::steal(
        internal_on_python_error("Failed to create slice container", [type] { return allocate_instance(type); }));
    auto released = owned.release();
    auto* fields = reinterpret_cast<SliceContainer*>(container.get());
    fields->data = released.data;
    fields->size = released.size;
    fields->capacity = released.capacity;
    fields->free_storage = free_buffer<T>;
    return container;
}

// A new one-dimensional, writeable array of `n` elements of `type_num` over the container's buffer,
// with the container as its base. Returns a new reference.
Ref array_over(Ref container, int type_num, npy_intp n, npy_intp element_size) {
    const Api numpy = api();
    auto* fields = reinterpret_cast<SliceContainer*>(container.get());
    void* data = n == 0 ? static_cast<void*>(empty_placeholder) : fields->data;

    Ref descr = expect(numpy.descr_from_type(type_num));
    npy_intp dimensions[1] = {n};
    npy_intp strides[1] = {element_size};
    Ref array = expect(numpy.new_from_descr(numpy.array_type(), descr.release(), 1, dimensions,
                                            strides, data, writeable_flag, nullptr));

    // NumPy takes the container reference whatever happens. Keep one of our own until the array is
    // known to hold it, so that on failure the array goes before the buffer does.
    Ref keep = Ref::borrow(container.get());
    if (numpy.set_base_object(array.get(), container.release()) < 0) {
        PyErrFailure error = take_pending();
        array = Ref();
        throw InternalFailure("Failed to tie a result array to its buffer: " + error.render());
    }
    return array;
}

}  // namespace

Ref float32_array(Buffer<float>&& values) {
    const auto n = static_cast<npy_intp>(values.size());
    Ref container = make_container(std::move(values));
    return array_over(std::move(container), float32_type, n, sizeof(float));
}

Ref complex64_array(Buffer<std::complex<float>>&& values, std::uint64_t rows, std::uint64_t columns) {
    const auto m = static_cast<npy_intp>(values.size());
    Ref container = make_container(std::move(values));
    Ref flat = array_over(std::move(container), complex64_type, m, sizeof(std::complex<float>));

    npy_intp shape[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(columns)};
    Dims dims{shape, 2};
    // The reshaped array keeps `flat` alive as its base.
    return checked(api().newshape(flat.get(), &dims, any_order));
}

}  // namespace marlune::py::numpy
