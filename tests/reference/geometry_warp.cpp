// The installed OpenCV's affine warp, blend, blur and HSV conversions, called
// directly: the formulations kiro's warp, shake and HSV kernels must match.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "ref_arrays.hpp"

#include <cstdint>
#include <stdexcept>
#include <vector>

namespace py = pybind11;
using ref::like;
using ref::scalar;
using ref::view;

namespace {


cv::Mat matrix(const py::array_t<double, py::array::c_style | py::array::forcecast>& m) {
    if (m.ndim() != 2 || m.shape(0) != 2 || m.shape(1) != 3) throw std::invalid_argument("2 x 3 matrix expected");
    return cv::Mat(2, 3, CV_64F, const_cast<double*>(m.data())).clone();
}

}  // namespace

PYBIND11_MODULE(ref_geometry_warp, m) {
    m.def("warp_affine",
          [](py::array src, py::array_t<double, py::array::c_style | py::array::forcecast> M, int width, int height,
             int flags, py::object border) {
              const cv::Scalar value = scalar(border);
              cv::Mat dst;
              cv::warpAffine(view(src), dst, matrix(M), cv::Size(width, height), flags, cv::BORDER_CONSTANT, value);
              return like(dst, src);
          },
          py::arg("src"), py::arg("M"), py::arg("width"), py::arg("height"), py::arg("flags") = static_cast<int>(cv::INTER_LINEAR),
          py::arg("border") = py::none());
    m.def("rotation_matrix", [](int w, int h, double angle) {
        cv::Mat M = cv::getRotationMatrix2D(cv::Point2f(static_cast<float>(w / 2.0), static_cast<float>(h / 2.0)),
                                            angle, 1.0);
        py::array_t<double> out({2, 3});
        std::copy(M.ptr<double>(), M.ptr<double>() + 6, out.mutable_data());
        return out;
    });
    // The shake as the OpenCV calls: shifted copy, 0.7 / 0.3 blend, 3 x 3 Gaussian of sigma 2.
    m.def("shake", [](py::array src, double x, double y) {
        cv::Mat s = view(src), dst, out;
        const cv::Matx23f t(1, 0, static_cast<float>(x), 0, 1, static_cast<float>(y));
        cv::warpAffine(s, dst, cv::Mat(t), s.size());
        cv::addWeighted(s, 0.7, dst, 0.3, 0, dst);
        cv::GaussianBlur(dst, out, cv::Size(3, 3), 2);
        return like(out, src);
    });
    m.def("add_weighted", [](py::array a, double alpha, py::array b, double beta, double gamma) {
        cv::Mat out;
        cv::addWeighted(view(a), alpha, view(b), beta, gamma, out);
        return like(out, a);
    });
    m.def("gaussian_blur", [](py::array src, int ksize, double sigma) {
        cv::Mat out;
        cv::GaussianBlur(view(src), out, cv::Size(ksize, ksize), sigma);
        return like(out, src);
    });
    m.def("bgr2hsv", [](py::array src) {
        cv::Mat out;
        cv::cvtColor(view(src), out, cv::COLOR_BGR2HSV);
        return like(out, src);
    });
    m.def("hsv2bgr", [](py::array src) {
        cv::Mat out;
        cv::cvtColor(view(src), out, cv::COLOR_HSV2BGR);
        return like(out, src);
    });
}
