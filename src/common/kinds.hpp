// Argument kind tests. Booleans and NumPy integer scalars count as integers;
// NumPy real scalars count as reals; NumPy booleans are neither.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

namespace kiro {
namespace py = pybind11;

inline py::handle numpy_type(const char* name) {
    // Borrowed from the numpy module, which lives as long as the interpreter.
    return py::object(py::module_::import("numpy").attr(name)).release();
}

inline bool is_none(py::handle h) { return h.is_none(); }
inline bool is_text(py::handle h) { return PyUnicode_Check(h.ptr()); }
inline bool is_bool(py::handle h) { return PyBool_Check(h.ptr()); }
inline bool is_list(py::handle h) { return PyList_Check(h.ptr()); }
inline bool is_tuple(py::handle h) { return PyTuple_Check(h.ptr()); }
inline bool is_seq(py::handle h) { return is_list(h) || is_tuple(h); }

inline bool is_integer(py::handle h) {
    if (PyLong_Check(h.ptr())) return true;
    static py::handle np_integer = numpy_type("integer");
    return PyObject_IsInstance(h.ptr(), np_integer.ptr()) == 1;
}

inline bool is_real(py::handle h) {
    if (PyFloat_Check(h.ptr())) return true;
    static py::handle np_floating = numpy_type("floating");
    return PyObject_IsInstance(h.ptr(), np_floating.ptr()) == 1;
}

inline bool is_number(py::handle h) { return is_integer(h) || is_real(h); }

// Python equality, as `a == b` (may call __eq__ of either side).
inline bool equals(py::handle a, py::handle b) {
    const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

inline bool truthy(py::handle h) {
    const int r = PyObject_IsTrue(h.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// `key in record`
inline bool has_key(py::handle record, const char* key) {
    const int r = PySequence_Contains(record.ptr(), py::str(key).ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// An integer argument as a C++ value (NumPy integer scalars included).
inline long long to_int(py::handle h) { return py::int_(py::reinterpret_borrow<py::object>(h)).cast<long long>(); }

}  // namespace kiro
