// Floors of the photometric operations: the OpenCV calls they cannot avoid.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "common/arrays.hpp"

namespace py = pybind11;

// cvtColor to HSV and back.
py::array hsv_round_trip(py::object image) {
    kiro::Image src = kiro::image_arg(image, "image");
    py::array out = kiro::new_array(src.rows(), src.cols(), 3, src.array.dtype());
    cv::Mat dst = kiro::mat_view(out, "out");
    {
        py::gil_scoped_release nogil;
        cv::Mat hsv;
        cv::cvtColor(src.mat, hsv, cv::COLOR_BGR2HSV);
        cv::cvtColor(hsv, dst, cv::COLOR_HSV2BGR);
    }
    return out;
}

// warpAffine by (x, y), addWeighted 0.7 / 0.3, GaussianBlur 3 x 3 sigma 2.
py::array shake(py::object image, double x, double y) {
    kiro::Image src = kiro::image_arg(image, "image");
    py::array out = kiro::new_like(src.array);
    cv::Mat result = kiro::mat_view(out, "out");
    {
        py::gil_scoped_release nogil;
        const cv::Matx23f m(1, 0, static_cast<float>(x), 0, 1, static_cast<float>(y));
        cv::Mat dst, blend;
        cv::warpAffine(src.mat, dst, cv::Mat(m), src.mat.size());
        cv::addWeighted(src.mat, 0.7, dst, 0.3, 0, blend);
        cv::GaussianBlur(blend, result, cv::Size(3, 3), 2);
    }
    return out;
}

PYBIND11_MODULE(floors_photometric, m) {
    m.def("hsv_round_trip", &hsv_round_trip, py::arg("image"));
    m.def("shake", &shake, py::arg("image"), py::arg("x"), py::arg("y"));
}
