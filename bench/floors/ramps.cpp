// Floor of the brightness ramps: one read-and-write pass over the image into a
// preallocated array (what np.copyto does), with the GIL released.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>

#include "common/arrays.hpp"

namespace py = pybind11;

void copy_pass(py::object image, py::object out) {
    kiro::Image src = kiro::image_arg(image, "image");
    py::array dst_array = kiro::as_ndarray(out, "out");
    if (!dst_array.writeable() || !kiro::mat_compatible(dst_array)) throw py::value_error("out must be a writable packed array");
    cv::Mat dst = kiro::mat_view(dst_array, "out");
    if (dst.size() != src.mat.size() || dst.type() != src.mat.type()) throw py::value_error("out must match image");
    py::gil_scoped_release nogil;
    src.mat.copyTo(dst);
}

PYBIND11_MODULE(floors_ramps, m) {
    m.def("copy_pass", &copy_pass, py::arg("image"), py::arg("out"));
}
