// Saturation and value jitter: scale the S and V planes of the HSV image by two
// random factors near 1 and convert back.
//
// For 8-bit images the scaling (32-bit multiply, clip when the factor exceeds
// 1, truncation to 8 bits) runs inside one pass with both colour conversions.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>

#include "common/arrays.hpp"
#include "common/draws.hpp"
#include "common/errors.hpp"
#include "common/hsv.hpp"

namespace py = pybind11;

namespace {

py::object steal(PyObject* p) {
    if (!p) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(p);
}

// a = (u * 2 - 1) * fraction + 1, u drawn from `random`; the arithmetic with
// `fraction` is Python's, so any number type behaves as in Python code.
double draw_factor(py::handle fraction) {
    const py::float_ t(kiro::draw::random() * 2 - 1);
    py::object scaled = steal(PyNumber_Multiply(t.ptr(), fraction.ptr()));
    py::object a = steal(PyNumber_Add(scaled.ptr(), py::int_(1).ptr()));
    return steal(PyNumber_Float(a.ptr())).cast<double>();
}

// One plane value after scaling: float32 product, clipped to [0, 255] when
// a > 1, then truncated to 8 bits (a negative product from a negative factor
// becomes 0; without the clip a product never exceeds 255 for 8-bit input).
inline uint8_t scaled_u8(float value, double a) {
    float p = value * static_cast<float>(a);
    if (a > 1) p = std::min(std::max(p, 0.0f), 255.0f);
    if (!(p > 0.0f)) return 0;
    if (p >= 255.0f) return 255;
    return static_cast<uint8_t>(p);
}

void jitter_u8(const cv::Mat& src, cv::Mat& dst, double a_s, double a_v) {
    kiro::hsv_jitter_u8(src, dst, static_cast<float>(a_s), static_cast<float>(a_v));
}

// 32-bit real images: OpenCV's real HSV encoding, with the planes taken through
// the same 8-bit conversion (values saturated to [0, 255]).
void jitter_f32(const cv::Mat& src, cv::Mat& dst, double a_s, double a_v) {
    cv::Mat hsv;
    cv::cvtColor(src, hsv, cv::COLOR_BGR2HSV);
    for (int y = 0; y < hsv.rows; ++y) {
        auto* p = hsv.ptr<float>(y);
        for (int x = 0; x < hsv.cols; ++x) {
            float& s = p[3 * x + 1];
            float& v = p[3 * x + 2];
            s = scaled_u8(s, a_s);
            v = scaled_u8(v, a_v);
        }
    }
    cv::cvtColor(hsv, dst, cv::COLOR_HSV2BGR);
}

}  // namespace

py::array hsv_transform(py::object image, py::object fraction) {
    py::array a = kiro::as_ndarray(image, "image");
    if (a.dtype().kind() == 'b') throw py::type_error("image: element type bool is not supported");
    kiro::Image src(a, "image");
    const int depth = src.mat.depth();
    const int cn = src.channels();
    if ((depth != CV_8U && depth != CV_32F) || (cn != 3 && cn != 4) || a.ndim() != 3 || src.mat.empty()) {
        // OpenCV's own error for what the colour conversion refuses.
        cv::Mat probe;
        py::gil_scoped_release nogil;
        cv::cvtColor(src.mat, probe, cv::COLOR_BGR2HSV);
    }
    const double a_s = draw_factor(fraction);
    const double a_v = draw_factor(fraction);
    py::array out = kiro::new_array(src.rows(), src.cols(), 3, src.array.dtype());  // native order
    cv::Mat dst = kiro::mat_view(out, "result");
    {
        py::gil_scoped_release nogil;
        if (depth == CV_8U)
            jitter_u8(src.mat, dst, a_s, a_v);
        else
            jitter_f32(src.mat, dst, a_s, a_v);
    }
    return out;
}

PYBIND11_MODULE(rimbel, m) {
    kiro::register_errors();
    m.doc() = "Random saturation and value jitter in HSV space.";
    m.def("hsv_transform", &hsv_transform, py::arg("image"), py::arg("fraction") = 0.5,
          R"doc(Scale the saturation and value of a BGR image by random factors; new array.

Two random.random() draws u (saturation first, then value) give the factors
a = (u * 2 - 1) * fraction + 1, in [1 - fraction, 1 + fraction). The image
goes to OpenCV's HSV (cvtColor BGR2HSV), each plane is multiplied by its
factor in 32-bit reals, clipped to [0, 255] only when the factor exceeds 1
(negative products, from fraction > 1, become 0), truncated to 8 bits, and
converted back with cvtColor HSV2BGR. Hue is unchanged. The input is not
modified.)doc");
}
