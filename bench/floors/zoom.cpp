// Floor of the class zooms: one crop of image and mask scaled back to the
// full size (bicubic image, nearest mask).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/imgproc.hpp>

#include "common/arrays.hpp"

namespace py = pybind11;

// image[top:top+h, left:left+w] and the same cut of mask, resized to the inputs' size.
py::tuple crop_resize(py::array image, py::array mask, int top, int left, int h, int w) {
    kiro::Image img(image, "image"), msk(mask, "mask");
    const cv::Rect rect(left, top, w, h);
    py::array out_img = kiro::new_array(img.rows(), img.cols(), img.channels(), image.dtype());
    py::array out_msk = kiro::new_array(msk.rows(), msk.cols(), 0, mask.dtype());
    cv::Mat di = kiro::mat_view(out_img, "image"), dm = kiro::mat_view(out_msk, "mask");
    {
        py::gil_scoped_release nogil;
        cv::resize(img.mat(rect), di, di.size(), 0, 0, cv::INTER_CUBIC);
        cv::resize(msk.mat(rect), dm, dm.size(), 0, 0, cv::INTER_NEAREST);
    }
    return py::make_tuple(out_img, out_msk);
}

PYBIND11_MODULE(floors_zoom, m) {
    m.def("crop_resize", &crop_resize, py::arg("image"), py::arg("mask"), py::arg("top"), py::arg("left"),
          py::arg("h"), py::arg("w"));
}
