// Masks moved as raw elements of their width (nearest-neighbour warps,
// resizes, flips and crops never look at the values), with a fill value
// checked to fit the mask's element type exactly.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>

#include <cstdint>
#include <cstring>
#include <string>

#include "common/arrays.hpp"
#include "common/element_values.hpp"
#include "common/kinds.hpp"

namespace kiro {
namespace py = pybind11;

// `value` as one element of `dt` (exactly; TypeError / ValueError naming
// `name` otherwise), its bytes in `out`.
inline void raw_value(py::handle value, const py::dtype& dt, const char* name, uint8_t out[8]) {
    dispatch_dtype(dt, "mask", [&](auto tag) {
        using T = decltype(tag);
        T v{};
        if (!is_plain_number(value))
            throw py::type_error(std::string(name) + " must be a number, got " + std::string(py::str(py::type::handle_of(value).attr("__name__"))));
        if (!exact_value<T>(value, v, name))
            throw py::value_error(std::string(name) + " " + std::string(py::repr(value)) + " cannot be stored in a mask of type " +
                                  std::string(py::str(dt)));
        std::memcpy(out, &v, sizeof(T));
    });
}

// A mask moved as raw elements of its width (1, 2, 4 or 8 bytes), with the
// fill value as one such element.
struct Mask {
    py::array array;
    cv::Mat mat;
    int type = 0;
    uint8_t fill[8] = {};
    size_t elem = 1;
};

inline Mask mask_arg(py::handle obj, int h, int w, py::handle fill, const char* fill_name) {
    py::array a = packed(as_ndarray(obj, "mask"));
    if (a.ndim() != 2)
        throw py::value_error("mask must have 2 axes (height x width), got " + std::to_string(a.ndim()));
    if (a.shape(0) != h || a.shape(1) != w)
        throw py::value_error("mask is " + std::to_string(a.shape(0)) + " x " + std::to_string(a.shape(1)) +
                              ", the image " + std::to_string(h) + " x " + std::to_string(w));
    Mask m;
    raw_value(fill, a.dtype(), fill_name, m.fill);
    m.elem = static_cast<size_t>(a.itemsize());
    switch (a.itemsize()) {
        case 1: m.type = CV_8UC1; break;
        case 2: m.type = CV_16UC1; break;
        case 4: m.type = CV_32SC1; break;
        default: m.type = CV_32SC2; break;
    }
    m.array = a;
    m.mat = cv::Mat(h, w, m.type, const_cast<void*>(a.data()),
                    h > 1 ? static_cast<size_t>(a.strides(0)) : cv::Mat::AUTO_STEP);
    return m;
}

// Element bytes of a raw type (8UC1, 16UC1, 32SC1, 32SC2) as a Scalar for
// OpenCV calls on that type.
inline cv::Scalar raw_scalar(int type, const uint8_t* bytes) {
    switch (type) {
        case CV_8UC1: return cv::Scalar(bytes[0]);
        case CV_16UC1: { uint16_t v; std::memcpy(&v, bytes, 2); return cv::Scalar(v); }
        case CV_32SC1: { int32_t v; std::memcpy(&v, bytes, 4); return cv::Scalar(v); }
        default: {
            int32_t v[2];
            std::memcpy(v, bytes, 8);
            return cv::Scalar(v[0], v[1]);
        }
    }
}

// The fill as a Scalar for OpenCV calls on the raw type.
inline cv::Scalar raw_scalar(const Mask& m) { return raw_scalar(m.type, m.fill); }

}  // namespace kiro
