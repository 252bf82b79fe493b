// Floors of the paste operations: one seamless clone, one image copy.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/photo.hpp>

#include <cstring>

#include "common/arrays.hpp"

namespace py = pybind11;

// cv::seamlessClone(src, dst, mask, (x, y), out, flags) into a new array.
py::array seamless_clone(py::array src, py::array dst, py::array mask, int x, int y, int flags) {
    kiro::Image s(src, "src"), d(dst, "dst"), m(mask, "mask");
    py::array out = kiro::new_array(d.rows(), d.cols(), d.channels(), dst.dtype());
    cv::Mat blend = kiro::mat_view(out, "out");
    {
        py::gil_scoped_release nogil;
        cv::seamlessClone(s.mat, d.mat, m.mat, cv::Point(x, y), blend, flags);
    }
    return out;
}

// One copy of a contiguous image into a new array.
py::array copy(py::array image) {
    py::array src = py::module_::import("numpy").attr("ascontiguousarray")(image).cast<py::array>();
    py::array out = kiro::new_like(src);
    const size_t n = static_cast<size_t>(src.nbytes());
    const void* from = src.data();
    void* to = out.mutable_data();
    {
        py::gil_scoped_release nogil;
        std::memcpy(to, from, n);
    }
    return out;
}

PYBIND11_MODULE(floors_paste, m) {
    m.def("seamless_clone", &seamless_clone, py::arg("src"), py::arg("dst"), py::arg("mask"), py::arg("x"),
          py::arg("y"), py::arg("flags"));
    m.def("copy", &copy, py::arg("image"));
}
