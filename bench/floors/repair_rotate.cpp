// Floors of the mask repair and the slight rotation: the OpenCV calls they
// cannot avoid, on full-size arrays.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <vector>

#include "common/arrays.hpp"

namespace py = pybind11;

// Per class: one connectedComponentsWithStats (4-connected, 32-bit labels) and
// one morphologyEx closing with a pad_h x pad_w kernel, on that class's
// prepared 0/1 mask.
int repair(py::list binaries, int pad_h, int pad_w) {
    std::vector<kiro::Image> masks;
    for (py::handle b : binaries) masks.emplace_back(kiro::as_ndarray(b, "binary"), "binary");
    const cv::Mat kernel = cv::Mat::ones(pad_h, pad_w, CV_8U);
    int pieces = 0;
    py::gil_scoped_release nogil;
    cv::Mat labels, stats, centroids, closed;
    for (const kiro::Image& m : masks) {
        pieces += cv::connectedComponentsWithStats(m.mat, labels, stats, centroids, 4, CV_32S);
        cv::morphologyEx(m.mat, closed, cv::MORPH_CLOSE, kernel);
    }
    return pieces;
}

// The image warped bilinearly with a black border and the mask warped with
// nearest neighbours, both by the rotation about the centre.
py::tuple rotate(py::array image, py::array mask, double angle, int bg) {
    kiro::Image img(image, "image"), msk(mask, "mask");
    py::array out_image = kiro::new_like(img.array), out_mask = kiro::new_like(msk.array);
    cv::Mat di = kiro::mat_view(out_image, "out"), dm = kiro::mat_view(out_mask, "out");
    {
        py::gil_scoped_release nogil;
        const cv::Size size(img.cols(), img.rows());
        const cv::Mat M = cv::getRotationMatrix2D(cv::Point2f(size.width / 2.f, size.height / 2.f), angle, 1.0);
        cv::warpAffine(img.mat, di, M, size);
        cv::warpAffine(msk.mat, dm, M, size, cv::INTER_NEAREST, cv::BORDER_CONSTANT, cv::Scalar(bg));
    }
    return py::make_tuple(out_image, out_mask);
}

PYBIND11_MODULE(floors_repair_rotate, m) {
    m.def("repair", &repair, py::arg("binaries"), py::arg("pad_h"), py::arg("pad_w"));
    m.def("rotate", &rotate, py::arg("image"), py::arg("mask"), py::arg("angle"), py::arg("bg") = 0);
}
