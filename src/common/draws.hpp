// Random draws. The process-wide generator is Python's `random` module and the
// array generator is NumPy's global `numpy.random`; both are looked up at call
// time so that seeding (and replacing) them behaves as in Python code.
#pragma once

#include <pybind11/pybind11.h>

namespace kiro {
namespace py = pybind11;

namespace draw {

inline py::object random_module() { return py::module_::import("random"); }
inline py::object numpy_random() { return py::module_::import("numpy.random"); }

// random.random()
inline double random() { return random_module().attr("random")().cast<double>(); }

// random.randint(a, b), both ends included.
inline py::object randint(py::handle a, py::handle b) { return random_module().attr("randint")(a, b); }
inline long long randint(long long a, long long b) {
    return random_module().attr("randint")(a, b).cast<long long>();
}

// random.uniform(a, b)
inline double uniform(double a, double b) { return random_module().attr("uniform")(a, b).cast<double>(); }

// random.choice(seq)
inline py::object choice(py::handle seq) { return random_module().attr("choice")(seq); }

// The gate of most operations: one random() draw; true when it is greater
// than `prob` (compared as Python does), i.e. the operation skips.
inline bool gate_skips(py::handle prob) {
    const py::float_ u(random());
    const int r = PyObject_RichCompareBool(u.ptr(), prob.ptr(), Py_GT);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// random.sample(population, k)
inline py::list sample(py::handle population, py::handle k) {
    return random_module().attr("sample")(population, k).cast<py::list>();
}

}  // namespace draw
}  // namespace kiro
