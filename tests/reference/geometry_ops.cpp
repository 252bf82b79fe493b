// The installed OpenCV's flip, perspective warp and resize with any flags,
// called directly: what kiro's geometric operations must reproduce.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "ref_arrays.hpp"

#include <stdexcept>
#include <vector>

namespace py = pybind11;
using ref::like;
using ref::scalar;
using ref::view;

PYBIND11_MODULE(ref_geometry_ops, m) {
    m.def("flip", [](py::array src, int code) {
        cv::Mat dst;
        cv::flip(view(src), dst, code);
        return like(dst, src);
    });
    m.def(
        "warp_perspective",
        [](py::array src, py::array_t<double, py::array::c_style | py::array::forcecast> M, int flags,
           py::object border) {
            if (M.ndim() != 2 || M.shape(0) != 3 || M.shape(1) != 3) throw std::invalid_argument("3 x 3 expected");
            cv::Mat dst, s = view(src);
            cv::warpPerspective(s, dst, cv::Mat(3, 3, CV_64F, const_cast<double*>(M.data())).clone(), s.size(), flags,
                                cv::BORDER_CONSTANT, scalar(border));
            return like(dst, src);
        },
        py::arg("src"), py::arg("M"), py::arg("flags"), py::arg("border") = py::none());
    m.def(
        "resize",
        [](py::array src, int width, int height, int flags) {
            cv::Mat dst;
            cv::resize(view(src), dst, cv::Size(width, height), 0, 0, flags);
            return like(dst, src);
        },
        py::arg("src"), py::arg("width"), py::arg("height"), py::arg("flags"));
    m.def("set_num_threads", &cv::setNumThreads, py::arg("n"));
}
