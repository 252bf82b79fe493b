// Floors of the utilities: one cv::resize (fit-to-base scaling) and one pass
// over a mask (crop to mask content).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "common/arrays.hpp"

namespace py = pybind11;

// src resized to w x h (bilinear) into a new array of src's channel count.
py::array resize(py::array src, int w, int h) {
    kiro::Image s(src, "src");
    py::array out = kiro::new_array(h, w, src.ndim() == 3 ? s.channels() : 0, src.dtype());
    cv::Mat d = kiro::mat_view(out, "out");
    {
        py::gil_scoped_release nogil;
        cv::resize(s.mat, d, d.size());
    }
    return out;
}

// One read of every mask pixel: the count of non-zero pixels.
int mask_pass(py::array mask) {
    kiro::Image m(mask, "mask");
    py::gil_scoped_release nogil;
    return cv::countNonZero(m.mat);
}

PYBIND11_MODULE(floors_utils, m) {
    m.def("resize", &resize, py::arg("src"), py::arg("w"), py::arg("h"));
    m.def("mask_pass", &mask_pass, py::arg("mask"));
}
