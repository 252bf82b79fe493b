// Python numbers as exact element values of an array type: a value converts
// only when the type holds it unchanged (no wrap, no rounding, no truncation).
#pragma once

#include <pybind11/pybind11.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>

#include "common/kinds.hpp"

namespace kiro {
namespace py = pybind11;

inline bool is_numpy_bool(py::handle h) {
    static py::handle np_bool = numpy_type("bool_");
    return PyObject_IsInstance(h.ptr(), np_bool.ptr()) == 1;
}

// int, bool, float and the NumPy integer, bool and real scalars.
inline bool is_plain_number(py::handle h) { return is_integer(h) || is_real(h) || is_numpy_bool(h); }

template <class T>
bool exact_from_ll(long long v, T& out) {
    if constexpr (std::is_floating_point_v<T>) {
        out = static_cast<T>(v);
        return static_cast<long double>(out) == static_cast<long double>(v);
    } else if constexpr (std::is_signed_v<T>) {
        if (v < static_cast<long long>(std::numeric_limits<T>::min()) ||
            v > static_cast<long long>(std::numeric_limits<T>::max()))
            return false;
        out = static_cast<T>(v);
        return true;
    } else {
        if (v < 0 || static_cast<unsigned long long>(v) > static_cast<unsigned long long>(std::numeric_limits<T>::max()))
            return false;
        out = static_cast<T>(v);
        return true;
    }
}

template <class T>
bool exact_from_ull(unsigned long long v, T& out) {
    if constexpr (std::is_floating_point_v<T>) {
        out = static_cast<T>(v);
        return static_cast<long double>(out) == static_cast<long double>(v);
    } else {
        if (v > static_cast<unsigned long long>(std::numeric_limits<T>::max())) return false;
        out = static_cast<T>(v);
        return true;
    }
}

template <class T>
bool exact_from_double(double d, T& out) {
    if constexpr (std::is_floating_point_v<T>) {
        out = static_cast<T>(d);
        return static_cast<double>(out) == d;
    } else {
        if (!std::isfinite(d) || d != std::floor(d)) return false;
        constexpr int digits = std::numeric_limits<T>::digits;
        const double upper = std::ldexp(1.0, digits);  // one past the largest value
        const double lower = std::is_signed_v<T> ? -upper : 0.0;
        if (d < lower || d >= upper) return false;
        if constexpr (std::is_same_v<T, bool>) {
            out = d != 0.0;
        } else {
            out = static_cast<T>(d);
        }
        return true;
    }
}

// `h` as a T of the same value; false when T cannot hold it. Anything that is
// not a number raises TypeError naming `name`.
template <class T>
bool exact_value(py::handle h, T& out, const std::string& name) {
    if (is_numpy_bool(h)) return exact_from_ll<T>(truthy(h) ? 1 : 0, out);
    if (is_integer(h)) {
        py::object i = py::reinterpret_steal<py::object>(PyNumber_Index(h.ptr()));
        if (!i) throw py::error_already_set();
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
        if (overflow == 0) {
            if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
            return exact_from_ll<T>(v, out);
        }
        if (overflow < 0) return false;
        const unsigned long long u = PyLong_AsUnsignedLongLong(i.ptr());
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        return exact_from_ull<T>(u, out);
    }
    if (is_real(h)) return exact_from_double<T>(py::float_(py::reinterpret_borrow<py::object>(h)).cast<double>(), out);
    throw py::type_error(name + " must be a number, got " +
                         std::string(py::str(py::type::handle_of(h).attr("__name__"))));
}

}  // namespace kiro
