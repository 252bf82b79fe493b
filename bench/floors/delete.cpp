// Floor of the class deletions: one pass over image and mask that paints the
// class's pixels into a new image and turns them into background.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <cstring>

#include "common/arrays.hpp"

namespace py = pybind11;

// Returns a copy of `image` (H x W x C uint8) with value in every channel where
// mask == cls, and writes mask into mask_out with those pixels set to bg (the
// same traffic as an in-place erase, repeatable without restoring the mask).
py::array erase_fill(py::array image, py::array mask, py::array mask_out, int cls, int value, int bg) {
    kiro::Image img(image, "image"), msk(mask, "mask");
    cv::Mat m = msk.mat, mo = kiro::mat_view(mask_out, "mask_out");
    if (img.mat.depth() != CV_8U || m.type() != CV_8UC1 || img.mat.size() != m.size() || mo.type() != CV_8UC1 ||
        mo.size() != m.size())
        throw py::value_error("erase_fill: uint8 image and masks of the same size expected");
    py::array out = kiro::new_array(img.rows(), img.cols(), img.channels(), image.dtype());
    cv::Mat dst = kiro::mat_view(out, "out");
    const int cn = img.channels();
    {
        py::gil_scoped_release nogil;
        const auto c = static_cast<uint8_t>(cls), v = static_cast<uint8_t>(value), b = static_cast<uint8_t>(bg);
        for (int r = 0; r < m.rows; ++r) {
            const uint8_t* mp = m.ptr<uint8_t>(r);
            uint8_t* mq = mo.ptr<uint8_t>(r);
            const uint8_t* s = img.mat.ptr<uint8_t>(r);
            uint8_t* d = dst.ptr<uint8_t>(r);
            std::memcpy(d, s, static_cast<size_t>(m.cols) * cn);
            for (int x = 0; x < m.cols; ++x) {
                mq[x] = mp[x];
                if (mp[x] != c) continue;
                mq[x] = b;
                std::memset(d + x * cn, v, static_cast<size_t>(cn));
            }
        }
    }
    return out;
}

PYBIND11_MODULE(floors_delete, m) {
    m.def("erase_fill", &erase_fill, py::arg("image"), py::arg("mask"), py::arg("mask_out"), py::arg("cls"), py::arg("value"),
          py::arg("bg") = 0);
}
