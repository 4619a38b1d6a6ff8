/* The cheapest function a sample-at-a-time caller could call with the calling convention of
 * ResonatorBank.process_sample: an argument tuple and a keyword dictionary (METH_VARARGS |
 * METH_KEYWORDS), one float taken from the tuple or from the keyword "sample", None returned.
 *
 *     def process_sample(sample): ...
 *
 * Limited API at 3.9, like the module it is compared with. Built for the benchmarks only. */
#include <Python.h>

/* Where the parsed value goes, so that the conversion cannot be optimised away. */
static volatile float last_sample;

/* ---- module functions ---------------------------------------------------------------------- */

/* Returns None (a new reference), or NULL with an exception set. */
static PyObject *
process_sample(PyObject *module, PyObject *args, PyObject *kwargs)
{
    (void)module;
    PyObject *arg = NULL;
    Py_ssize_t nargs = PyTuple_Size(args);
    Py_ssize_t nkwargs = kwargs == NULL ? 0 : PyDict_Size(kwargs);
    if (nargs == 1 && nkwargs == 0) {
        arg = PyTuple_GetItem(args, 0); /* borrowed */
    }
    else if (nargs == 0 && nkwargs == 1) {
        Py_ssize_t pos = 0;
        PyObject *key, *value; /* borrowed */
        if (PyDict_Next(kwargs, &pos, &key, &value) && PyUnicode_Check(key) &&
            PyUnicode_CompareWithASCIIString(key, "sample") == 0) {
            arg = value;
        }
    }
    if (arg == NULL) {
        PyErr_SetString(PyExc_TypeError, "process_sample() takes one argument, sample");
        return NULL;
    }
    double value = PyFloat_AsDouble(arg);
    if (value == -1.0 && PyErr_Occurred()) {
        return NULL;
    }
    last_sample = (float)value;
    Py_RETURN_NONE;
}

static PyMethodDef call_floor_methods[] = {
    {"process_sample", (PyCFunction)(void (*)(void))process_sample, METH_VARARGS | METH_KEYWORDS,
     "process_sample($module, /, sample)\n--\n\n"},
    {NULL, NULL, 0, NULL} /* sentinel */
};

/* ---- module definition --------------------------------------------------------------------- */

static struct PyModuleDef call_floor_module = {
    PyModuleDef_HEAD_INIT,
    .m_name = "call_floor",
    .m_doc = "The cheapest function with the calling convention of process_sample.",
    .m_size = 0,
    .m_methods = call_floor_methods,
};

PyMODINIT_FUNC
PyInit_call_floor(void)
{
    return PyModuleDef_Init(&call_floor_module);
}
