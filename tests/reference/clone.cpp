// cv::seamlessClone as the installed OpenCV does it, for comparing kiro's own
// clone step against.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/photo.hpp>

#include "common/arrays.hpp"

namespace py = pybind11;

// cv::seamlessClone(src, dst, mask, (x, y), out, flags) into a new array.
py::array seamless_clone(py::array src, py::array dst, py::array mask, int x, int y, int flags) {
    kiro::Image s(src, "src"), d(dst, "dst"), m(mask, "mask");
    py::array out = kiro::new_array(d.rows(), d.cols(), d.channels(), dst.dtype());
    cv::Mat blend = kiro::mat_view(out, "out");
    {
        py::gil_scoped_release nogil;
        cv::Mat result = blend;
        cv::seamlessClone(s.mat, d.mat, m.mat, cv::Point(x, y), result, flags);
        if (result.data != blend.data) result.copyTo(blend);
    }
    return out;
}

PYBIND11_MODULE(ref_clone, m) {
    m.def("seamless_clone", &seamless_clone, py::arg("src"), py::arg("dst"), py::arg("mask"), py::arg("x"),
          py::arg("y"), py::arg("flags"));
}
