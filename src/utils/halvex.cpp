// Gaussian heat map of a quadrilateral region: 1 at its centre, 0.1 at a
// distance equal to its smaller side extent.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "common/arrays.hpp"
#include "common/errors.hpp"
#include "common/kinds.hpp"

namespace py = pybind11;

namespace {

constexpr double kEdgeValue = 0.01;

[[noreturn]] void raise_as(PyObject* kind, const char* message) {
    PyErr_SetString(kind, message);
    throw py::error_already_set();
}

double real_arg(py::handle h, const char* name) {
    if (!kiro::is_number(h) && !py::hasattr(h, "__float__"))
        throw py::type_error(std::string(name) + " must be a real number, got " +
                             std::string(py::str(py::type::handle_of(h).attr("__name__"))));
    return py::float_(py::reinterpret_borrow<py::object>(h)).cast<double>();
}

// sqrt(-dmax**2 / ln(edge_value)) with the scalar math module's failures.
double sigma_of(double dmax_sq, double edge_value) {
    if (!(edge_value > 0) && !std::isnan(edge_value)) raise_as(PyExc_ValueError, "math domain error");
    const double l = std::log(edge_value);
    if (l == 0) raise_as(PyExc_ZeroDivisionError, "float division by zero");
    const double v = -dmax_sq / l;
    if (v < 0) raise_as(PyExc_ValueError, "math domain error");
    return std::sqrt(v);
}

// exp(-d2 / 2 / sigma**2); with sigma 0 the limit: 1 where d2 is 0, else 0.
template <class F = double>
inline F bell(F d2, F s2) {
    if (s2 == 0 && d2 == 0) return F(1);
    return std::exp(-d2 / F(2) / s2);
}

struct Size {
    py::ssize_t h, w;
};

Size size_arg(py::handle img_size) {
    if (!kiro::is_tuple(img_size))
        throw py::type_error("generate_gaussian_map(): argument 'img_size' must be a tuple, not " +
                             std::string(py::str(py::type::handle_of(img_size).attr("__name__"))));
    py::tuple t = py::reinterpret_borrow<py::tuple>(img_size);
    if (t.size() != 2) throw py::value_error("img_size must be a pair (height, width)");
    if (!kiro::is_integer(t[0]) || !kiro::is_integer(t[1])) throw py::type_error("img_size entries must be integers");
    const long long h = kiro::to_int(t[0]), w = kiro::to_int(t[1]);
    if (h < 0 || w < 0) throw py::value_error("img_size entries must not be negative");
    if (h > INT32_MAX || w > INT32_MAX || static_cast<double>(h) * static_cast<double>(w) > 1e11)
        throw py::value_error("img_size is too large");
    return {static_cast<py::ssize_t>(h), static_cast<py::ssize_t>(w)};
}

// The region's corners as integers (truncated toward zero), 4 rows of (x, y).
std::vector<long long> corners_of(py::handle region) {
    py::object np = py::module_::import("numpy");
    py::array a = np.attr("asarray")(region).cast<py::array>();
    const char kind = a.dtype().kind();
    if (kind != 'b' && kind != 'u' && kind != 'i' && kind != 'f')
        throw py::type_error("region must hold numbers, got element type " + std::string(py::str(a.dtype())));
    a = a.attr("reshape")(4, 2).cast<py::array>();
    if (kind == 'f') {
        if (!np.attr("isfinite")(a).attr("all")().cast<bool>()) throw py::value_error("region must be finite");
        if (np.attr("abs")(a).attr("max")().cast<double>() >= 9.2e18) throw py::value_error("region is too large");
    }
    py::array_t<long long> v = a.attr("astype")(np.attr("int64")).cast<py::array_t<long long>>();
    v = np.attr("ascontiguousarray")(v).cast<py::array_t<long long>>();
    return std::vector<long long>(v.data(), v.data() + 8);
}

}  // namespace

double cal_sigma(py::object dmax, py::object edge_value) {
    const double d = real_arg(dmax, "dmax");
    return sigma_of(d * d, real_arg(edge_value, "edge_value"));
}

py::array gaussian(py::object array_like_hm, py::object mean, py::object sigma) {
    py::array a = kiro::as_ndarray(array_like_hm, "array_like_hm");
    if (a.ndim() != 2 || a.shape(1) != 2)
        throw py::value_error("array_like_hm must be an N x 2 array of (x, y) points");
    const char kind = a.dtype().kind();
    if (kind != 'u' && kind != 'i' && kind != 'f')
        throw py::type_error("array_like_hm must hold numbers, got element type " + std::string(py::str(a.dtype())));
    const double s = real_arg(sigma, "sigma");
    // In place, as `array_like_hm -= mean`: the caller's array keeps the differences.
    a.attr("__isub__")(mean);

    const py::array d = kiro::packed(a);
    const py::ssize_t n = d.shape(0);
    const char* base = static_cast<const char*>(d.data());
    const py::ssize_t s0 = d.strides(0), s1 = d.strides(1);
    return kiro::dispatch_dtype(d.dtype(), "array_like_hm", [&](auto tag) -> py::array {
        using T = decltype(tag);
        // float32 points stay float32, as the array arithmetic does; the rest give float64.
        using F = std::conditional_t<std::is_same_v<T, float>, float, double>;
        py::array_t<F> out(n);
        F* o = out.mutable_data();
        py::gil_scoped_release nogil;
        const F s2 = static_cast<F>(s * s);
        for (py::ssize_t i = 0; i < n; ++i) {
            const char* row = base + i * s0;
            const F x = static_cast<F>(*reinterpret_cast<const T*>(row));
            const F y = static_cast<F>(*reinterpret_cast<const T*>(row + s1));
            o[i] = bell<F>(x * x + y * y, s2);
        }
        return std::move(out);
    });
}

py::array_t<double> generate_gaussian_map(py::object img_size, py::object region) {
    const Size size = size_arg(img_size);
    const std::vector<long long> c = corners_of(region);

    long long x_lo = c[0], x_hi = c[0], y_lo = c[1], y_hi = c[1];
    __int128 x_sum = 0, y_sum = 0;
    for (int k = 0; k < 4; ++k) {
        x_lo = std::min(x_lo, c[2 * k]);
        x_hi = std::max(x_hi, c[2 * k]);
        y_lo = std::min(y_lo, c[2 * k + 1]);
        y_hi = std::max(y_hi, c[2 * k + 1]);
        x_sum += c[2 * k];
        y_sum += c[2 * k + 1];
    }
    const __int128 reg_h = static_cast<__int128>(y_hi) - y_lo, reg_w = static_cast<__int128>(x_hi) - x_lo;
    const __int128 dmax = std::min(reg_h, reg_w);
    const double dd = static_cast<double>(dmax);
    const double dmax_sq = dmax < (static_cast<__int128>(1) << 62) ? static_cast<double>(dmax * dmax) : dd * dd;
    const double sigma = sigma_of(dmax_sq, kEdgeValue);
    const double s2 = sigma * sigma;
    // Centre: the corners' mean, truncated toward zero.
    const long long mx = static_cast<long long>(std::trunc(static_cast<double>(x_sum) / 4.0));
    const long long my = static_cast<long long>(std::trunc(static_cast<double>(y_sum) / 4.0));

    py::array_t<double> out({size.h, size.w});
    double* img = out.mutable_data();
    {
        py::gil_scoped_release nogil;
        // exp(-(dx^2 + dy^2) / 2s^2) = exp(-dx^2 / 2s^2) * exp(-dy^2 / 2s^2).
        std::vector<double> ex(static_cast<size_t>(size.w)), ey(static_cast<size_t>(size.h));
        for (py::ssize_t k = 0; k < size.w; ++k) {
            const double dx = static_cast<double>(k - mx);
            ex[k] = bell(dx * dx, s2);
        }
        for (py::ssize_t k = 0; k < size.h; ++k) {
            const double dy = static_cast<double>(k - my);
            ey[k] = bell(dy * dy, s2);
        }
        for (py::ssize_t r = 0; r < size.h; ++r) {
            double* row = img + r * size.w;
            const double fy = ey[r];
            for (py::ssize_t k = 0; k < size.w; ++k) row[k] = fy * ex[k];
        }
    }
    return out;
}

PYBIND11_MODULE(halvex, m) {
    kiro::register_errors();
    m.def("generate_gaussian_map", &generate_gaussian_map, py::arg("img_size"), py::arg("region"),
          R"doc(Gaussian heat map of a quadrilateral region, of size img_size = (height, width).

`region` holds the four corners (x, y) in any order (8 values, or anything
that reshapes to 4 x 2); they are truncated to integers. The value at row r,
column c is exp(-((c - mx)^2 + (r - my)^2) / (2 sigma^2)) with (mx, my) the
corners' mean truncated to integers and sigma = cal_sigma(dmax, 0.01), dmax the
smaller of the region's height and width: 1 at the centre, 0.1 at distance
dmax. A region of zero width or height gives 1.0 at the centre pixel (when it
lies in the map) and 0.0 elsewhere. Returns a new float64 array.)doc");
    m.def("cal_sigma", &cal_sigma, py::arg("dmax"), py::arg("edge_value"),
          R"doc(sqrt(-dmax**2 / ln(edge_value)): the deviation of a Gaussian of peak 1 whose
value at distance dmax is sqrt(edge_value). edge_value <= 0 or > 1 raises
ValueError (math domain error), edge_value = 1 ZeroDivisionError.)doc");
    m.def("gaussian", &gaussian, py::arg("array_like_hm"), py::arg("mean"), py::arg("sigma"),
          R"doc(exp(-((x - mx)^2 + (y - my)^2) / 2 / sigma^2) for each (x, y) row of the N x 2
array `array_like_hm`, mean = (mx, my). The array is changed in place: it holds
the points minus `mean` afterwards. With sigma 0 the limit is returned (1 where
a point equals `mean`, else 0). Returns a new array of N values: float32 for
float32 points, float64 otherwise.)doc");
}
