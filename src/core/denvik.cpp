// Night photo simulation: lower the brightness by a random offset, then add
// normal noise of a randomly chosen strength.
//
// The offset and the noise field come from NumPy's global generator, the
// strength from Python's `random`; the field is drawn with numpy.random.normal
// and everything around it is one fused pass.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>

#include "common/arrays.hpp"
#include "common/draws.hpp"
#include "common/elementwise.hpp"
#include "common/errors.hpp"

namespace py = pybind11;

namespace {

const char* const kWarning = "Warning! init_delta should be larger than 50 that get better effect.";

py::object steal(PyObject* p) {
    if (!p) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(p);
}

// Step 1: `if init_delta < 50: print(warning)`; the line goes to sys.stdout.
void warn_if_small(const py::object& init_delta) {
    const py::int_ fifty(50);
    const int lt = PyObject_RichCompareBool(init_delta.ptr(), fifty.ptr(), Py_LT);
    if (lt < 0) throw py::error_already_set();
    if (lt) py::print(kWarning);
}

// numpy.random.uniform(-init_delta, -init_delta + init_delta // 5)
double draw_delta(const py::object& init_delta) {
    py::object low = steal(PyNumber_Negative(init_delta.ptr()));
    py::object fifth = steal(PyNumber_FloorDivide(init_delta.ptr(), py::int_(5).ptr()));
    py::object high = steal(PyNumber_Add(low.ptr(), fifth.ptr()));
    return kiro::draw::numpy_random().attr("uniform")(low, high).cast<double>();
}

// Darkened value of one element: clip(x + delta, 0, 255), fraction dropped.
template <class T>
inline uint8_t darken(T x, double delta) {
    return kiro::clip_u8(static_cast<double>(x) + delta);
}

py::array darken_array(const py::array& src, double delta) {
    py::array out = kiro::new_u8_like(src);
    auto* o = static_cast<uint8_t*>(out.mutable_data());
    const py::ssize_t n = src.size();
    kiro::dispatch_dtype(src.dtype(), "image", [&](auto tag) {
        using T = decltype(tag);
        const T* p = static_cast<const T*>(src.data());
        py::gil_scoped_release nogil;
        if constexpr (std::is_same_v<T, uint8_t>) {
            uint8_t lut[256];
            for (int v = 0; v < 256; ++v) lut[v] = darken(v, delta);
            for (py::ssize_t i = 0; i < n; ++i) o[i] = lut[p[i]];
        } else {
            for (py::ssize_t i = 0; i < n; ++i) o[i] = darken(p[i], delta);
        }
    });
    return out;
}

// Steps 3-4 of the noise: strength from `random`, then the field from NumPy.
py::array_t<double, py::array::c_style> draw_field(const std::array<py::ssize_t, 3>& shape) {
    py::list strengths;
    for (double v : {0.05, 0.03, 0.01}) strengths.append(v);
    const double var = kiro::draw::choice(strengths).cast<double>();
    const double sigma = std::pow(var, 0.5);
    py::tuple size = py::make_tuple(shape[0], shape[1], shape[2]);
    py::object field = kiro::draw::numpy_random().attr("normal")(0, sigma, size);
    return field.cast<py::array_t<double, py::array::c_style | py::array::forcecast>>();
}

// noisy = clip((scaled + gauss) * 255), scaled = table[x] for 8-bit x.
void add_field(const double* scaled, const uint8_t* x, const double* g, uint8_t* o, py::ssize_t n) {
    cv::parallel_for_(cv::Range(0, static_cast<int>((n + 65535) / 65536)), [&](const cv::Range& r) {
        const py::ssize_t lo = static_cast<py::ssize_t>(r.start) * 65536;
        const py::ssize_t hi = std::min(n, static_cast<py::ssize_t>(r.end) * 65536);
        for (py::ssize_t i = lo; i < hi; ++i) o[i] = kiro::clip_u8((scaled[x[i]] + g[i]) * 255.0);
    });
}

py::array require_image(const py::object& image) {
    py::array a = kiro::as_ndarray(image, "image");
    kiro::require_numeric(a, "image");
    return kiro::flat_native(a);
}

}  // namespace

py::array dwn_brightness(py::object image, py::object init_delta) {
    warn_if_small(init_delta);
    const py::array src = require_image(image);
    const double delta = draw_delta(init_delta);
    return darken_array(src, delta);
}

// out = clip((scaled(x) + field) * 255) per element, `scaled` mapping a pixel
// to the 0..1 scale; 8-bit images go through a 256-entry table of it.
template <class Scale>
py::array add_noise(const py::array& src, const py::array_t<double, py::array::c_style>& field, Scale scaled) {
    py::array out = kiro::new_u8_like(src);
    auto* o = static_cast<uint8_t*>(out.mutable_data());
    const double* g = field.data();
    const py::ssize_t n = src.size();
    kiro::dispatch_dtype(src.dtype(), "image", [&](auto tag) {
        using T = decltype(tag);
        const T* p = static_cast<const T*>(src.data());
        py::gil_scoped_release nogil;
        if constexpr (std::is_same_v<T, uint8_t>) {
            double table[256];
            for (int v = 0; v < 256; ++v) table[v] = scaled(static_cast<uint8_t>(v));
            add_field(table, p, g, o, n);
        } else {
            for (py::ssize_t i = 0; i < n; ++i) o[i] = kiro::clip_u8((scaled(p[i]) + g[i]) * 255.0);
        }
    });
    return out;
}

py::array generate_denvik(py::object image) {
    const py::array src = require_image(image);  // the division by 255
    const auto field = draw_field(kiro::unpack3(src));
    return add_noise(src, field, [](auto x) { return kiro::div255(x); });
}

py::array denvik_transform(py::object image, py::object init_delta) {
    warn_if_small(init_delta);
    const py::array src = require_image(image);
    const double delta = draw_delta(init_delta);
    const auto field = draw_field(kiro::unpack3(src));
    // Darkening and the division by 255 in one step.
    return add_noise(src, field, [delta](auto x) { return darken(x, delta) / 255.0; });
}

PYBIND11_MODULE(denvik, m) {
    kiro::register_errors();
    m.doc() = "Night photo simulation: darkening followed by normal noise.";
    m.def("denvik_transform", &denvik_transform, py::arg("image"), py::arg("init_delta"),
          R"doc(Darken `image` by a random offset, then add normal noise; new uint8 array.

Same as _generate_denvik(_dwn_brightness(image, init_delta)). Draws, in order:
numpy.random.uniform for the offset, random.choice for the noise strength,
numpy.random.normal for the field. The input is not modified.)doc");
    m.def("_dwn_brightness", &dwn_brightness, py::arg("image"), py::arg("init_delta") = 32,
          R"doc(Darkened uint8 copy of `image` (any shape).

Prints a warning to sys.stdout when init_delta < 50. The offset is one
numpy.random.uniform(-init_delta, -init_delta + init_delta // 5) draw added to
every element; the sum is clipped to [0, 255] and truncated to uint8.)doc");
    m.def("_generate_denvik", &generate_denvik, py::arg("image"),
          R"doc(Noisy uint8 copy of a height x width x channels `image`.

The variance is random.choice([0.05, 0.03, 0.01]); the field is
numpy.random.normal(0, sqrt(var), image.shape) added to image / 255, then
scaled by 255, clipped to [0, 255] and truncated to uint8.)doc");
}
