// Element-wise work on arrays of any shape: flat native buffers, shape
// unpacking with Python's own messages, and the clip-and-truncate to 8 bits
// that NumPy's `np.clip(x, 0, 255).astype(np.uint8)` performs.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/core/hal/intrin.hpp>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "common/arrays.hpp"

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

// C-contiguous, aligned array in native byte order: `a` itself when it already is one.
inline py::array flat_native(const py::array& a) { return dense_native(a); }

// New C-order uint8 array of a's shape.
inline py::array new_u8_like(const py::array& a) {
    std::vector<py::ssize_t> shape(a.shape(), a.shape() + a.ndim());
    return py::array(py::dtype::of<uint8_t>(), shape);
}

// Clip to [0, 255] and drop the fraction; NaN becomes 0. Branch-free: noise
// fields clip often and at random, which defeats branch prediction.
inline uint8_t clip_u8(double v) {
#if CV_SIMD128_64F
    // Lane 0 of max/min/truncate: a NaN leaves max as 0 (x86) or truncates to 0 (ARM).
    const cv::v_float64x2 x =
        cv::v_min(cv::v_max(cv::v_float64x2(v, 0.0), cv::v_setzero_f64()), cv::v_setall_f64(255.0));
    return static_cast<uint8_t>(cv::v_trunc(x).get0());
#else
    const double c = v > 0.0 ? v : 0.0;  // NaN -> 0
    return static_cast<uint8_t>(static_cast<int>(c < 255.0 ? c : 255.0));
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
