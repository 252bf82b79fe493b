// Image files and simple drawing for the demo, the examples and the bundled sample.
#include <pybind11/pybind11.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "common/arrays.hpp"
#include "common/errors.hpp"
#include "common/sources.hpp"

namespace py = pybind11;

namespace {

void imwrite(py::object path, py::object image) {
    kiro::Image img = kiro::image_arg(image, "image");
    std::string ext = py::str(py::module_::import("os.path").attr("splitext")(path).cast<py::tuple>()[1]);
    if (ext.empty()) throw py::value_error("imwrite: the path needs an extension (.png, .jpg, ...)");
    std::vector<uchar> bytes;
    {
        py::gil_scoped_release nogil;
        cv::imencode(ext, img.mat, bytes);
    }
    py::object file = py::module_::import("io").attr("open")(path, "wb");
    file.attr("write")(py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    file.attr("close")();
}

cv::Scalar color_of(const py::tuple& c) {
    cv::Scalar s;
    for (size_t i = 0; i < std::min<size_t>(4, c.size()); ++i) s[static_cast<int>(i)] = c[i].cast<double>();
    return s;
}

cv::Mat writable(const py::object& image) {
    py::array a = kiro::as_ndarray(image, "image");
    if (!a.writeable()) throw py::value_error("image is read-only");
    if (!kiro::mat_compatible(a)) throw py::value_error("image must be contiguous to draw on");
    return kiro::mat_view(a, "image");
}

void put_text(py::object image, const std::string& text, int x, int y, double scale, py::tuple color, int thickness) {
    cv::Mat m = writable(image);
    cv::putText(m, text, {x, y}, cv::FONT_HERSHEY_SIMPLEX, scale, color_of(color), thickness, cv::LINE_AA);
}

void polylines(py::object image, py::object points, py::tuple color, int thickness) {
    cv::Mat m = writable(image);
    py::array pts = py::array::ensure(points, py::array::c_style | py::array::forcecast);
    auto p = py::array_t<int32_t, py::array::c_style | py::array::forcecast>::ensure(pts);
    if (!p || p.size() % 2) throw py::value_error("points must hold x, y pairs");
    std::vector<cv::Point> poly;
    for (py::ssize_t i = 0; i + 1 < p.size(); i += 2) poly.emplace_back(p.data()[i], p.data()[i + 1]);
    cv::polylines(m, poly, true, color_of(color), thickness, cv::LINE_AA);
}


}  // namespace

PYBIND11_MODULE(_demo, m) {
    kiro::register_errors();
    m.doc() = "Image files and drawing for kiro's demo and examples.";
    m.def("imread", [](py::object path) { return kiro::read_image(path); }, py::arg("path"),
          "Read an image file as stored (channels, alpha and depth kept).");
    m.def("imwrite", &imwrite, py::arg("path"), py::arg("image"),
          "Encode an image by the path's extension and write it.");
    m.def("put_text", &put_text, py::arg("image"), py::arg("text"), py::arg("x"), py::arg("y"),
          py::arg("scale") = 0.6, py::arg("color") = py::make_tuple(255, 255, 255), py::arg("thickness") = 1,
          "Draw text in place; (x, y) is the baseline's start.");
    m.def("polylines", &polylines, py::arg("image"), py::arg("points"),
          py::arg("color") = py::make_tuple(0, 255, 255), py::arg("thickness") = 2,
          "Draw one closed polygon (flat x, y run) in place.");
}
