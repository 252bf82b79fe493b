// Light change sequences: linear or logarithmic runs of brightness offsets.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <string>

#include "common/errors.hpp"
#include "common/kinds.hpp"
#include "common/module.hpp"

namespace py = pybind11;

namespace {

kiro::Globals g;

constexpr const char* kSpaceType =
    "Light space type is not specified. It should be either 'LIGHT_LINEAR' or 'LIGHT_LOG'.";
constexpr const char* kScaleLength = "Bad light_scale length.";
constexpr const char* kScaleType = "Wrong light_scale type, it should be one of None, float/int or tuple/list";

enum class Space { Linear, Log, Other };

Space space_of(py::handle space_type) {
    if (kiro::equals(space_type, g("LIGHT_LINEAR"))) return Space::Linear;
    if (kiro::equals(space_type, g("LIGHT_LOG"))) return Space::Log;
    return Space::Other;
}

double real(py::handle h) { return py::float_(py::reinterpret_borrow<py::object>(h)).cast<double>(); }

// Natural logarithm through NumPy's own log, so runs match a NumPy formulation
// to the last bit (log(0) is -inf, not an error).
double ln(double v) {
    py::object np = py::module_::import("numpy");
    py::object errstate = np.attr("errstate")(py::arg("divide") = "ignore", py::arg("invalid") = "ignore");
    errstate.attr("__enter__")();
    py::object r = np.attr("log")(v);
    errstate.attr("__exit__")(py::none(), py::none(), py::none());
    return r.cast<double>();
}

double reciprocal(double v) {
    if (v == 0.0) {
        PyErr_SetString(PyExc_ZeroDivisionError, "float division by zero");
        throw py::error_already_set();
    }
    return 1.0 / v;
}

// The run length as the array library takes it: an integer, not negative.
py::ssize_t run_length(py::handle length) {
    if (!kiro::is_integer(length))
        throw py::type_error("'" + std::string(py::str(py::type::handle_of(length).attr("__name__"))) +
                             "' object cannot be interpreted as an integer");
    const long long n = kiro::to_int(length);
    if (n < 0) throw py::value_error("Number of samples, " + std::to_string(n) + ", must be non-negative.");
    return static_cast<py::ssize_t>(n);
}

// numpy.linspace(start, stop, n) in double precision, element for element:
// start + i * step with step = (stop - start) / (n - 1), the last element
// exactly stop; (i / (n - 1)) * delta + start when the step underflows to 0;
// 0 * delta + start for n = 1.
py::array_t<double> linspace(double start, double stop, py::ssize_t n) {
    py::array_t<double> out(n);
    double* y = out.mutable_data();
    const double delta = stop - start;
    const py::ssize_t div = n - 1;
    if (div > 0) {
        const double step = delta / static_cast<double>(div);
        if (step == 0.0) {
            for (py::ssize_t i = 0; i < n; ++i) y[i] = static_cast<double>(i) / static_cast<double>(div) * delta + start;
        } else {
            for (py::ssize_t i = 0; i < n; ++i) y[i] = static_cast<double>(i) * step + start;
        }
        y[n - 1] = stop;
    } else {
        for (py::ssize_t i = 0; i < n; ++i) y[i] = static_cast<double>(i) * delta + start;
    }
    return out;
}

// numpy.logspace(start, stop, n): 10 ** linspace through NumPy's power ufunc.
py::array_t<double> logspace(double start, double stop, py::ssize_t n) {
    py::array_t<double> exps = linspace(start, stop, n);
    py::object np = py::module_::import("numpy");
    return np.attr("power")(10.0, exps).cast<py::array_t<double>>();
}

py::array_t<double> negated(py::array_t<double> a) {
    double* p = a.mutable_data();
    for (py::ssize_t i = 0; i < a.size(); ++i) p[i] = -p[i];
    return a;
}

py::array_t<double> reversed(py::array_t<double> a) {
    std::reverse(a.mutable_data(), a.mutable_data() + a.size());
    return a;
}

// Logarithmic run of a single scale s (natural logs used as base-10 exponents).
py::array_t<double> log_run(double s, py::handle length) {
    if (s < -1) {
        const double a = ln(reciprocal(-s)), b = ln(-s);
        return reversed(logspace(a, b, run_length(length)));
    }
    if (s < 0) {
        const double a = ln(-s), b = ln(reciprocal(-s));
        return reversed(negated(logspace(a, b, run_length(length))));
    }
    if (s < 1) {
        const double a = ln(s), b = ln(reciprocal(s));
        return negated(logspace(a, b, run_length(length)));
    }
    const double a = ln(reciprocal(s)), b = ln(s);
    return logspace(a, b, run_length(length));
}

}  // namespace

py::array_t<double> light_space_process(py::object space_type, py::object light_scale, py::object length) {
    if (kiro::is_number(light_scale)) {
        const double s = real(light_scale);
        switch (space_of(space_type)) {
            case Space::Linear: return linspace(-s, s, run_length(length));
            case Space::Log: return log_run(s, length);
            default: kiro::raise_plain(kSpaceType);
        }
    }
    if (kiro::is_seq(light_scale)) {
        if (py::len(light_scale) < 2) kiro::raise_plain(kScaleLength);
        py::object lo = light_scale[py::int_(0)], hi = light_scale[py::int_(1)];
        const Space space = space_of(space_type);
        if (space == Space::Other) kiro::raise_plain(kSpaceType);
        if (!kiro::is_number(lo) || !kiro::is_number(hi))
            throw py::type_error("light_scale entries 0 and 1 must be numbers");
        if (space == Space::Linear) return linspace(real(lo), real(hi), run_length(length));
        return logspace(real(lo), real(hi), run_length(length));
    }
    kiro::raise_plain(kScaleType);
}

PYBIND11_MODULE(nuvaro, m) {
    kiro::register_errors();
    kiro::import_all(m, "kiro.core.KirO");
    g.bind(m);
    m.def("light_space_process", &light_space_process, py::arg("space_type"), py::arg("light_scale"),
          py::arg("length"),
          R"doc(A run of `length` brightness offsets (float64), index 0 first.

light_scale a single number s:
- LIGHT_LINEAR: linspace(-s, s, length).
- LIGHT_LOG: natural logs of the scale used as base-10 exponents:
  s < -1:       logspace(ln(1/-s), ln(-s), length), reversed;
  -1 <= s < 0:  -logspace(ln(-s), ln(1/-s), length), reversed;
  0 <= s < 1:   -logspace(ln(s), ln(1/s), length);
  1 <= s:       logspace(ln(1/s), ln(s), length).
  s = 0 raises ZeroDivisionError.
light_scale a tuple or list (entries 0 and 1 used): linspace(s[0], s[1], length)
or logspace(s[0], s[1], length).

The values are the same doubles numpy.linspace / numpy.logspace give for
float64 ends. Raises Exception for a space_type that is neither LIGHT_LINEAR nor
LIGHT_LOG, a sequence of fewer than two entries, or any other light_scale.)doc");
}
