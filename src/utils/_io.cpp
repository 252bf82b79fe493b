// Image files for the data set tools: the decoder the paste sources use, the
// encoders for written samples, and the little drawing a preview sheet needs.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <string>
#include <vector>

#include "common/arrays.hpp"
#include "common/errors.hpp"
#include "common/png.hpp"
#include "common/sources.hpp"

namespace py = pybind11;
using kiro::Image;

namespace {

py::array decode(const py::bytes& data) {
    std::string_view bytes = data;
    cv::Mat decoded;
    {
        py::gil_scoped_release nogil;
        const cv::Mat buffer(1, static_cast<int>(bytes.size()), CV_8U, const_cast<char*>(bytes.data()));
        if (!bytes.empty()) decoded = cv::imdecode(buffer, cv::IMREAD_UNCHANGED);
    }
    if (decoded.empty()) throw py::value_error("cannot decode an image from the given bytes");
    return kiro::to_array(std::move(decoded), false);
}

py::bytes encode(py::handle image, const std::string& ext, int quality) {
    Image img = kiro::image_arg(image, "image");
    std::vector<int> params;
    if (ext == ".jpg" || ext == ".jpeg") {
        if (quality < 0 || quality > 100) throw py::value_error("quality must be in [0, 100]");
        params = {cv::IMWRITE_JPEG_QUALITY, quality};
    } else if (ext != ".png") {
        throw py::value_error("unsupported image format " + ext + " (use .png, .jpg or .jpeg)");
    }
    std::vector<uchar> out;
    bool ok = true;
    {
        py::gil_scoped_release nogil;
        if (ext == ".png" && kiro::png::supported(img.mat))
            out = kiro::png::encode(img.mat);
        else
            ok = cv::imencode(ext, img.mat, out, params);
    }
    if (!ok) throw py::value_error("cannot encode this image as " + ext);
    return py::bytes(reinterpret_cast<const char*>(out.data()), out.size());
}

py::array resize(py::handle image, int width, int height) {
    Image img = kiro::image_arg(image, "image");
    if (width <= 0 || height <= 0) throw py::value_error("width and height must be positive");
    cv::Mat out;
    {
        py::gil_scoped_release nogil;
        cv::resize(img.mat, out, cv::Size(width, height), 0, 0, cv::INTER_AREA);
    }
    return kiro::to_array(std::move(out), img.ndim() == 3);
}

// Outlines (closed) and optional captions, drawn into `image` in place.
void draw_polygons(py::array image, const std::vector<py::array_t<double, py::array::forcecast>>& polygons,
                   const std::vector<std::vector<double>>& colors, const std::vector<std::string>& texts,
                   int thickness, double font_scale) {
    if (!kiro::mat_compatible(image) || image.dtype().kind() != 'u' || image.itemsize() != 1 ||
        image.ndim() != 3 || image.shape(2) < 3)
        throw py::value_error("image must be a packed uint8 H x W x 3 (or 4) array");
    if (colors.size() != polygons.size() || (!texts.empty() && texts.size() != polygons.size()))
        throw py::value_error("one colour (and one text, if any) per polygon");
    std::vector<std::vector<cv::Point>> pts(polygons.size());
    for (size_t i = 0; i < polygons.size(); ++i) {
        auto p = polygons[i].unchecked();
        if (p.ndim() != 2 || p.shape(1) != 2) throw py::value_error("each polygon must be an N x 2 array");
        for (py::ssize_t j = 0; j < p.shape(0); ++j)
            pts[i].emplace_back(cvRound(p(j, 0)), cvRound(p(j, 1)));
        if (colors[i].size() < 3) throw py::value_error("colours are (b, g, r)");
    }
    cv::Mat mat = kiro::mat_view(image, "image");
    py::gil_scoped_release nogil;
    for (size_t i = 0; i < pts.size(); ++i) {
        if (pts[i].empty()) continue;
        const cv::Scalar c(colors[i][0], colors[i][1], colors[i][2], 255);
        cv::polylines(mat, pts[i], true, c, thickness, cv::LINE_AA);
        if (texts.empty() || texts[i].empty()) continue;
        cv::Point at = pts[i][0];
        for (const auto& q : pts[i]) if (q.y < at.y || (q.y == at.y && q.x < at.x)) at = q;
        int base = 0;
        const cv::Size size = cv::getTextSize(texts[i], cv::FONT_HERSHEY_SIMPLEX, font_scale, thickness, &base);
        at.x = std::max(0, std::min(at.x, mat.cols - size.width));
        at.y = std::max(at.y - 3, size.height + 2);
        cv::putText(mat, texts[i], at, cv::FONT_HERSHEY_SIMPLEX, font_scale, cv::Scalar(0, 0, 0, 255),
                    thickness + 2, cv::LINE_AA);
        cv::putText(mat, texts[i], at, cv::FONT_HERSHEY_SIMPLEX, font_scale, c, thickness, cv::LINE_AA);
    }
}

}  // namespace

PYBIND11_MODULE(_io, m) {
    kiro::register_errors();
    m.def("read_image", [](py::handle path) { return kiro::read_image(path); }, py::arg("path"),
          "Read a file whole and decode it unchanged (channels, alpha and depth kept).\n\n"
          "FileNotFoundError/OSError for a missing file, ValueError for bytes that do not decode.");
    m.def("decode", &decode, py::arg("data"), "Decode image bytes unchanged; ValueError when they do not decode.");
    m.def("encode", &encode, py::arg("image"), py::arg("ext") = ".png", py::arg("quality") = 95,
          "Encode an image as .png or .jpg/.jpeg (`quality` 0..100 for JPEG) and return the bytes.\n\n"
          "PNG is lossless (8 or 16-bit, grey, BGR or BGRA stored as RGB(A)) and written for speed.");
    m.def("resize", &resize, py::arg("image"), py::arg("width"), py::arg("height"),
          "Area-averaged resize to width x height (a new array).");
    m.def("draw_polygons", &draw_polygons, py::arg("image"), py::arg("polygons"), py::arg("colors"),
          py::arg("texts") = std::vector<std::string>{}, py::arg("thickness") = 2, py::arg("font_scale") = 0.5,
          "Draw closed polygon outlines (N x 2 points) and optional captions into a uint8 BGR image in place.");
}
