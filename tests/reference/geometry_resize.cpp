// cv::resize of the installed OpenCV, for the bit-identity tests of kiro's
// own resize.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/imgproc.hpp>

#include "common/arrays.hpp"

namespace py = pybind11;

// image resized to width x height, INTER_CUBIC or INTER_NEAREST. Masks of
// wider elements go through as bytes, the way the zooms hand them over.
py::array resize(py::array image, int width, int height, bool nearest) {
    const py::array a = kiro::packed(image);
    cv::Mat s = nearest && image.ndim() == 2
                    ? cv::Mat(static_cast<int>(a.shape(0)), static_cast<int>(a.shape(1)),
                              CV_8UC(static_cast<int>(a.itemsize())), const_cast<void*>(a.data()),
                              static_cast<size_t>(a.strides(0)))
                    : kiro::mat_view(a, "image");
    py::array out = kiro::new_array(height, width, image.ndim() == 3 ? image.shape(2) : 0, a.dtype());
    cv::Mat d(height, width, s.type(), out.mutable_data());
    {
        py::gil_scoped_release nogil;
        cv::resize(s, d, d.size(), 0, 0, nearest ? cv::INTER_NEAREST : cv::INTER_CUBIC);
    }
    return out;
}

PYBIND11_MODULE(ref_geometry_resize, m) {
    m.def("resize", &resize, py::arg("image"), py::arg("width"), py::arg("height"), py::arg("nearest") = false);
    m.def("set_num_threads", &cv::setNumThreads, py::arg("n"));
}
