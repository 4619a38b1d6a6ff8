// PanicException: raised for internal failures. It derives from BaseException, like SystemExit,
// so that `except Exception` handlers in user code do not swallow a broken invariant.
#include "panic.hpp"

#include <cstdio>
#include <string_view>

#include "once.hpp"

namespace marlune::py {

namespace {

constexpr const char* panic_doc =
    "The exception raised when the native code of the marlune extension fails internally.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that it will\n"
    "typically propagate all the way through the stack and cause the Python interpreter\n"
    "to exit.";

OnceCell<PyObject*> panic_type_cell;

// The path below the project's src/ directory, or the file name as compiled.
std::string_view short_path(std::string_view path) {
    auto at = path.rfind("/src/");
    return at == std::string_view::npos ? path : path.substr(at + 1);
}

}  // namespace

PyObject* panic_exception_type() {
    return panic_type_cell.get_or_init([] {
        PyObject* type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", panic_doc,
                                                   PyExc_BaseException, nullptr);
        // Without the type no internal failure could ever be reported.
        if (type == nullptr) Py_FatalError("marlune: failed to create PanicException");
        return type;
    });
}

void raise_panic(const InternalFailure& failure) noexcept {
    const auto& where = failure.where();
    std::fprintf(stderr, "marlune: internal failure at %.*s:%u:%u:\n%s\n",
                 static_cast<int>(short_path(where.file_name()).size()),
                 short_path(where.file_name()).data(), static_cast<unsigned>(where.line()),
                 static_cast<unsigned>(where.column()), failure.message().c_str());
    std::fflush(stderr);
    PyObject* type = panic_exception_type();
    PyObject* message = PyUnicode_FromStringAndSize(
        failure.message().data(), static_cast<Py_ssize_t>(failure.message().size()));
    if (message == nullptr) return;  // the MemoryError (or similar) it left is what Python sees
    PyErr_SetObject(type, message);
    Py_DECREF(message);
}

}  // namespace marlune::py
