// Element-wise work on arrays of any shape: flat native buffers, shape
// unpacking with Python's own messages, and the clip-and-truncate to 8 bits
// that NumPy's `np.clip(x, 0, 255).astype(np.uint8)` performs.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kiro {
namespace py = pybind11;

// `row, col, ch = a.shape`
inline std::array<py::ssize_t, 3> unpack3(const py::array& a) {
    const auto nd = a.ndim();
    if (nd < 3)
        throw py::value_error("not enough values to unpack (expected 3, got " + std::to_string(nd) + ")");
    if (nd > 3) throw py::value_error("too many values to unpack (expected 3)");
    return {a.shape(0), a.shape(1), a.shape(2)};
}

// True for the element types the real-valued pixel paths take (bool, integers, float32/64).
inline bool numeric_dtype(const py::dtype& dt) {
    const char k = dt.kind();
    const auto size = dt.itemsize();
    if (k == 'b') return true;
    if (k == 'u' || k == 'i') return size == 1 || size == 2 || size == 4 || size == 8;
    if (k == 'f') return size == 4 || size == 8;
    return false;
}

inline void require_numeric(const py::array& a, const char* name) {
    if (!numeric_dtype(a.dtype()))
        throw py::type_error(std::string(name) + ": element type " + std::string(py::str(a.dtype())) +
                             " is not supported (expected bool, an integer type, float32 or float64)");
}

// C-contiguous array in native byte order: `a` itself when it already is one.
inline py::array flat_native(const py::array& a) {
    const bool native = a.dtype().attr("isnative").cast<bool>();
    if (native && (a.flags() & py::array::c_style)) return a;
    py::object np = py::module_::import("numpy");
    py::object dt = a.dtype().attr("newbyteorder")("=");
    return np.attr("ascontiguousarray")(a, dt).cast<py::array>();
}

// New C-order uint8 array of a's shape.
inline py::array new_u8_like(const py::array& a) {
    std::vector<py::ssize_t> shape(a.shape(), a.shape() + a.ndim());
    return py::array(py::dtype::of<uint8_t>(), shape);
}

// Clip to [0, 255] and drop the fraction; NaN becomes 0. Branch-free: noise
// fields clip often and at random, which defeats branch prediction.
inline uint8_t clip_u8(double v) {
#if defined(__SSE2__)
    __m128d x = _mm_max_sd(_mm_set_sd(v), _mm_setzero_pd());  // NaN -> 0
    x = _mm_min_sd(x, _mm_set_sd(255.0));
    return static_cast<uint8_t>(_mm_cvttsd_si32(x));
#else
    const double c = std::min(255.0, std::max(0.0, v));
    return static_cast<uint8_t>(static_cast<int>(c));
#endif
}

// `x / 255.0` with NumPy's result type: float32 stays float32, the rest become float64.
template <class T>
inline double div255(T x) {
    if constexpr (std::is_same_v<T, float>)
        return static_cast<double>(x / 255.0f);
    else
        return static_cast<double>(x) / 255.0;
}

}  // namespace kiro
