// The installed OpenCV's flip, perspective warp and resize with any flags,
// called directly: what kiro's geometric operations must reproduce.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <stdexcept>
#include <vector>

namespace py = pybind11;

namespace {

int cv_type(const py::array& a) {
    const char kind = a.dtype().kind();
    const auto size = a.itemsize();
    int depth;
    if ((kind == 'u' || kind == 'b') && size == 1) depth = CV_8U;
    else if (kind == 'i' && size == 1) depth = CV_8S;
    else if (kind == 'u' && size == 2) depth = CV_16U;
    else if (kind == 'i' && size == 2) depth = CV_16S;
    else if (kind == 'i' && size == 4) depth = CV_32S;
    else if (kind == 'f' && size == 4) depth = CV_32F;
    else if (kind == 'f' && size == 8) depth = CV_64F;
    else throw std::invalid_argument("unsupported dtype");
    return CV_MAKETYPE(depth, a.ndim() == 3 ? static_cast<int>(a.shape(2)) : 1);
}

cv::Mat view(const py::array& a) {
    if (!(a.flags() & py::array::c_style)) throw std::invalid_argument("C-contiguous array expected");
    return cv::Mat(static_cast<int>(a.shape(0)), static_cast<int>(a.shape(1)), cv_type(a),
                   const_cast<void*>(a.data()));
}

py::array like(const cv::Mat& m, const py::array& proto) {
    std::vector<py::ssize_t> shape{m.rows, m.cols};
    if (proto.ndim() == 3) shape.push_back(m.channels());
    py::array out(proto.dtype(), shape);
    m.copyTo(cv::Mat(m.rows, m.cols, m.type(), out.mutable_data()));
    return out;
}

cv::Scalar scalar(py::object border) {
    cv::Scalar value;
    if (py::isinstance<py::sequence>(border)) {
        auto seq = border.cast<py::sequence>();
        for (size_t k = 0; k < seq.size() && k < 4; ++k) value[static_cast<int>(k)] = seq[k].cast<double>();
    } else if (!border.is_none()) {
        value = cv::Scalar::all(border.cast<double>());
    }
    return value;
}

}  // namespace

PYBIND11_MODULE(ref_geometry_ops, m) {
    m.def("flip", [](py::array src, int code) {
        cv::Mat dst;
        cv::flip(view(src), dst, code);
        return like(dst, src);
    });
    m.def(
        "warp_perspective",
        [](py::array src, py::array_t<double, py::array::c_style | py::array::forcecast> M, int flags,
           py::object border) {
            if (M.ndim() != 2 || M.shape(0) != 3 || M.shape(1) != 3) throw std::invalid_argument("3 x 3 expected");
            cv::Mat dst, s = view(src);
            cv::warpPerspective(s, dst, cv::Mat(3, 3, CV_64F, const_cast<double*>(M.data())).clone(), s.size(), flags,
                                cv::BORDER_CONSTANT, scalar(border));
            return like(dst, src);
        },
        py::arg("src"), py::arg("M"), py::arg("flags"), py::arg("border") = py::none());
    m.def(
        "resize",
        [](py::array src, int width, int height, int flags) {
            cv::Mat dst;
            cv::resize(view(src), dst, cv::Size(width, height), 0, 0, flags);
            return like(dst, src);
        },
        py::arg("src"), py::arg("width"), py::arg("height"), py::arg("flags"));
    m.def("set_num_threads", &cv::setNumThreads, py::arg("n"));
}
