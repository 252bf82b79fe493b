// NumPy arrays as cv::Mat views and back, and border values, for the test
// reference modules (C-contiguous arrays only).
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>

#include <stdexcept>
#include <vector>

namespace ref {
namespace py = pybind11;

inline cv::Mat view(const py::array& a) {
    if (!(a.flags() & py::array::c_style)) throw std::invalid_argument("C-contiguous array expected");
    int type;
    const char kind = a.dtype().kind();
    const auto size = a.itemsize();
    if ((kind == 'u' || kind == 'b') && size == 1) type = CV_8U;
    else if (kind == 'i' && size == 1) type = CV_8S;
    else if (kind == 'u' && size == 2) type = CV_16U;
    else if (kind == 'i' && size == 2) type = CV_16S;
    else if (kind == 'i' && size == 4) type = CV_32S;
    else if (kind == 'f' && size == 4) type = CV_32F;
    else if (kind == 'f' && size == 8) type = CV_64F;
    else throw std::invalid_argument("unsupported dtype");
    const int cn = a.ndim() == 3 ? static_cast<int>(a.shape(2)) : 1;
    return cv::Mat(static_cast<int>(a.shape(0)), static_cast<int>(a.shape(1)), CV_MAKETYPE(type, cn),
                   const_cast<void*>(a.data()));
}

inline py::array like(const cv::Mat& m, const py::array& proto) {
    std::vector<py::ssize_t> shape{m.rows, m.cols};
    if (proto.ndim() == 3) shape.push_back(m.channels());
    py::array out(proto.dtype(), shape);
    m.copyTo(cv::Mat(m.rows, m.cols, m.type(), out.mutable_data()));
    return out;
}

// A number for every channel, one per channel (up to 4), or None for 0.
inline cv::Scalar scalar(py::object border) {
    cv::Scalar value;
    if (py::isinstance<py::sequence>(border)) {
        auto seq = border.cast<py::sequence>();
        for (size_t k = 0; k < seq.size() && k < 4; ++k) value[static_cast<int>(k)] = seq[k].cast<double>();
    } else if (!border.is_none()) {
        value = cv::Scalar::all(border.cast<double>());
    }
    return value;
}

}  // namespace ref
