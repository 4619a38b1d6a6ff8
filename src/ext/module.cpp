// import marlune
//
// The module definition for multi-phase initialisation. The execution step adds the
// ResonatorBank class (one type object per process) and the five functions, recording each name
// in __all__. NumPy is not touched here: it is loaded by the first call that needs an array.
#include <cstdint>
#include <string>

#include "bank_type.hpp"
#include "core/kernels.hpp"
#include "functions.hpp"
#include "guard.hpp"
#include "python.hpp"
#include "ref.hpp"
#include "text.hpp"

namespace marlune::py {

namespace {

// ---- the interpreter that may import the module ------------------------------------------------

// The class and the exception types are process-wide objects, which only one interpreter may use.
// That is the main one (its ID is always 0), so that a sub-interpreter that happens to import the
// module first cannot lock the main interpreter out for the rest of the process.
constexpr std::int64_t main_interpreter_id = 0;

void require_main_interpreter() {
    if (PyInterpreterState_GetID(PyInterpreterState_Get()) == main_interpreter_id) return;
    throw_new_error(PyExc_ImportError,
                    "marlune can only be imported in the main interpreter: "
                    "its class and exception types are shared by the whole process");
}

// ---- the kernel ---------------------------------------------------------------------------------

// A module built to run one kernel alone (for testing) must not run on a CPU that lacks it, nor
// quietly run another: it refuses to import. A release build always has the scalar kernel.
void require_runnable_kernel() {
    if (first_supported() != nullptr) return;
    const Implementation& only = implementations().front();
    throw DescribedError(PyExc_ImportError, std::string("marlune was built to run only its ") +
                                                only.name + " kernel, and this CPU lacks " +
                                                only.features);
}

// ---- adding names --------------------------------------------------------------------------------

// The module's __all__ list, created empty if the module has none. Returns a new reference.
Ref all_list(PyObject* module) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (all) {
        if (!PyList_Check(all.get())) {
            throw DescribedError(PyExc_TypeError, not_an_instance_message(all.get(), "list"));
        }
        return all;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending();
    PyErr_Clear();
    all = checked(PyList_New(0));
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw_pending();
    return all;
}

// Records `name` in `all` (the module's __all__) and binds it to `value`.
void add_name(PyObject* module, PyObject* all, PyObject* name, PyObject* value) {
    if (PyList_Append(all, name) < 0) {
        PyErr_Clear();  // replaced by the internal failure below
        throw InternalFailure("could not append __name__ to __all__");
    }
    if (PyObject_SetAttr(module, name, value) < 0) throw_pending();
}

// ---- execution step ------------------------------------------------------------------------------

// The class object, or the RuntimeError that names it with the creation error as its cause.
// Borrowed.
PyObject* bank_class() {
    try {
        return resonator_bank_type();
    } catch (PyErrFailure& cause) {
        PyErr_SetString(PyExc_RuntimeError, "An error occurred while initializing class ResonatorBank");
        PyErrFailure error = take_pending();
        // SetCause steals the reference it is given.
        PyException_SetCause(error.value(), Ref::borrow(cause.value()).release());
        throw std::move(error);
    }
}

void add_functions(PyObject* module, PyObject* all) {
    Ref module_name = checked(PyModule_GetNameObject(module));
    for (PyMethodDef* def = function_table(); def->ml_name != nullptr; ++def) {
        Ref function = checked(PyCMethod_New(def, module, module_name.get(), nullptr));
        Ref name = checked(PyObject_GetAttrString(function.get(), "__name__"));
        add_name(module, all, name.get(), function.get());
    }
}

int exec_module(PyObject* module) {
    return guarded<int>(-1, [module] {
        if (module == nullptr) throw_pending();
        if (!PyModule_Check(module)) {
            throw DescribedError(PyExc_TypeError, not_an_instance_message(module, "module"));
        }
        require_main_interpreter();
        require_runnable_kernel();
        PyObject* type = bank_class();
        Ref all = all_list(module);
        Ref class_name = expect(PyUnicode_FromString("ResonatorBank"));
        add_name(module, all.get(), class_name.get(), type);
        add_functions(module, all.get());
        return 0;
    });
}

// ---- module definition ---------------------------------------------------------------------------

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},  // sentinel
};

// The functions are added by the execution step, which also records them in __all__, rather
// than through m_methods.
PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "marlune",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace marlune::py

PyMODINIT_FUNC PyInit_marlune(void) { return PyModuleDef_Init(&marlune::py::module_def); }
