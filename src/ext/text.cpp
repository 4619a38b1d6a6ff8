// Text helpers for messages built from Python objects.
#include "text.hpp"

#include "ref.hpp"

namespace marlune::py {

namespace {

template <class Render>
std::string text_or(PyObject* obj, const char* fallback, Render render) {
    Ref text = Ref::steal(render(obj));
    if (text) {
        Ref bytes = Ref::steal(PyUnicode_AsUTF8String(text.get()));
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (bytes && PyBytes_AsStringAndSize(bytes.get(), &data, &size) == 0) {
            return std::string(data, static_cast<std::size_t>(size));
        }
    }
    // A message is being built for another failure: that failure matters, not this one.
    PyErr_Clear();
    return fallback;
}

}  // namespace

std::string str_or(PyObject* obj, const char* fallback) {
    return text_or(obj, fallback, PyObject_Str);
}

std::string repr_or(PyObject* obj, const char* fallback) {
    return text_or(obj, fallback, PyObject_Repr);
}

std::string qualified_name(PyTypeObject* type) {
    Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__"));
    if (!name || !PyUnicode_Check(name.get())) {
        PyErr_Clear();  // the name only decorates a message; the message still goes out
        return "<failed to extract type name>";
    }
    return str_or(name.get(), "<failed to extract type name>");
}

std::string not_an_instance_message(PyObject* obj, const char* expected) {
    // Appended piece by piece: g++ 12 warns falsely (-Wrestrict) about "'" + std::string.
    std::string message = "'";
    message += qualified_name(Py_TYPE(obj));
    message += "' object is not an instance of '";
    message += expected;
    message += "'";
    return message;
}

}  // namespace marlune::py
