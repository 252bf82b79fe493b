// The installed OpenCV's own PNG encoding with its default settings: the size
// kiro's PNG files are held to.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/imgcodecs.hpp>

#include <vector>

#include "ref_arrays.hpp"

namespace py = pybind11;

PYBIND11_MODULE(ref_codecs, m) {
    m.def("png_default", [](py::array image) {
        std::vector<uchar> out;
        if (!cv::imencode(".png", ref::view(image), out)) throw std::runtime_error("imencode failed");
        return py::bytes(reinterpret_cast<const char*>(out.data()), out.size());
    });
}
