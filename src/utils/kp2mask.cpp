// Keypoint polygons to a mask: each chosen polygon row rasterised with cv::fillPoly.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <string>
#include <vector>

#include "common/arrays.hpp"
#include "common/errors.hpp"
#include "common/kinds.hpp"

namespace py = pybind11;

namespace {

// Coordinates beyond this magnitude would overflow the rasteriser's fixed-point edges.
constexpr double kMaxCoord = 1 << 24;

using Polygon = std::vector<cv::Point>;

// The "keypoints" entry as a packed 2-axis numeric array. An empty 1-axis
// array (np.array([])) holds no polygons.
py::array keypoints_arg(py::handle data) {
    py::object kp = data[py::str("keypoints")];
    py::array a = py::module_::import("numpy").attr("asarray")(kp).cast<py::array>();
    const char kind = a.dtype().kind();
    if (kind != 'u' && kind != 'i' && kind != 'f')
        throw py::type_error("kp2mask: keypoints must hold numbers, got element type " +
                             std::string(py::str(a.dtype())));
    if (a.ndim() == 1 && a.size() == 0) a = a.attr("reshape")(0, 0).cast<py::array>();
    if (a.ndim() != 2)
        throw py::value_error("kp2mask: keypoints must have 2 axes (polygons x coordinates), got " +
                              std::to_string(a.ndim()));
    if (a.shape(1) % 2 != 0)
        throw py::value_error("kp2mask: keypoints rows must hold x, y pairs, got " + std::to_string(a.shape(1)) +
                              " columns");
    if (a.shape(0) > 0 && a.shape(1) == 0)
        throw py::value_error("kp2mask: keypoints rows hold no points");
    return kiro::packed(a);
}

// Height and width of the record's image.
std::pair<int, int> image_size(py::handle data) {
    py::array img = kiro::as_ndarray(data[py::str("image")], "image");
    if (img.ndim() != 2 && img.ndim() != 3)
        throw py::value_error("kp2mask: image must have 2 or 3 axes, got " + std::to_string(img.ndim()));
    if (img.shape(0) > INT32_MAX || img.shape(1) > INT32_MAX) throw py::value_error("kp2mask: image is too large");
    return {static_cast<int>(img.shape(0)), static_cast<int>(img.shape(1))};
}

long long checked_index(py::handle h, long long n) {
    if (!kiro::is_integer(h))
        throw py::type_error("kp2mask: polygon indices must be integers, got " +
                             std::string(py::str(py::type::handle_of(h).attr("__name__"))));
    const long long i = kiro::to_int(h);
    if (i < -n || i >= n)
        throw py::index_error("kp2mask: polygon index " + std::to_string(i) + " is out of range for " +
                              std::to_string(n) + " polygons");
    return i < 0 ? i + n : i;
}

// Row indices chosen by `classes`: None = all rows, an integer = that row,
// a list / tuple / 1-axis integer array = those rows in their order.
std::vector<long long> chosen_rows(py::handle classes, long long n) {
    std::vector<long long> rows;
    if (classes.is_none()) {
        for (long long i = 0; i < n; ++i) rows.push_back(i);
    } else if (kiro::is_integer(classes)) {
        rows.push_back(checked_index(classes, n));
    } else if (kiro::is_seq(classes) || kiro::is_array(classes)) {
        if (kiro::is_array(classes) && py::reinterpret_borrow<py::array>(classes).ndim() != 1)
            throw py::value_error("kp2mask: classes must be a 1-axis array of polygon indices");
        for (py::handle item : classes) rows.push_back(checked_index(item, n));
    } else {
        throw py::type_error("kp2mask: classes must be None, a polygon index or a list of polygon indices, got " +
                             std::string(py::str(py::type::handle_of(classes).attr("__name__"))));
    }
    return rows;
}

template <class T>
Polygon polygon_of(const py::array& kp, long long row) {
    const auto cols = kp.shape(1);
    const auto* p = reinterpret_cast<const T*>(static_cast<const char*>(kp.data()) + row * kp.strides(0));
    Polygon poly;
    poly.reserve(static_cast<size_t>(cols / 2));
    for (py::ssize_t k = 0; k < cols; k += 2) {
        const double x = static_cast<double>(p[k]), y = static_cast<double>(p[k + 1]);
        if (!(std::fabs(x) <= kMaxCoord && std::fabs(y) <= kMaxCoord))
            throw py::value_error("kp2mask: keypoint (" + std::to_string(x) + ", " + std::to_string(y) +
                                  ") of polygon " + std::to_string(row) + " is not a usable coordinate");
        // Real coordinates go to the nearest pixel.
        poly.emplace_back(static_cast<int>(std::lround(x)), static_cast<int>(std::lround(y)));
    }
    return poly;
}

std::vector<Polygon> polygons_of(const py::array& kp, const std::vector<long long>& rows) {
    return kiro::dispatch_dtype(kp.dtype(), "keypoints", [&](auto tag) {
        using T = decltype(tag);
        std::vector<Polygon> polys;
        polys.reserve(rows.size());
        for (long long r : rows) polys.push_back(polygon_of<T>(kp, r));
        return polys;
    });
}

// Labels of one_class_only=False: row i is painted i + 1, in the smallest
// type that holds the largest label of the record.
int label_depth(long long n) {
    if (n <= 255) return CV_8U;
    if (n <= 65535) return CV_16U;
    return CV_32S;
}

}  // namespace

py::array kp2mask(py::object data, py::object classes, py::object one_class_only) {
    py::array kp = keypoints_arg(data);
    const auto [h, w] = image_size(data);
    const long long n = kp.shape(0);
    const std::vector<long long> rows = chosen_rows(classes, n);
    const std::vector<Polygon> polys = polygons_of(kp, rows);
    const bool binary = kiro::truthy(one_class_only);

    const int depth = binary ? CV_8U : label_depth(n);
    py::array out = kiro::new_array(h, w, 0, kiro::dtype_of_depth(depth));
    cv::Mat mask = kiro::mat_view(out, "mask");
    {
        py::gil_scoped_release nogil;
        mask.setTo(0);
        if (binary) {
            if (!polys.empty()) cv::fillPoly(mask, polys, cv::Scalar(1));
        } else {
            // Later rows of the list paint over earlier ones where polygons overlap.
            for (size_t k = 0; k < polys.size(); ++k) {
                const cv::Point* pts = polys[k].data();
                const int count = static_cast<int>(polys[k].size());
                cv::fillPoly(mask, &pts, &count, 1, cv::Scalar(static_cast<double>(rows[k] + 1)));
            }
        }
    }
    return out;
}

PYBIND11_MODULE(kp2mask, m) {
    kiro::register_errors();
    m.def("kp2mask", &kp2mask, py::arg("data"), py::arg("classes") = py::none(),
          py::arg("one_class_only") = true,
          R"doc(Rasterise keypoint polygons of a record into a mask of its image's size.

`data` is a record with "image" (only its height and width are read) and
"keypoints" (one polygon per row, x1, y1, x2, y2, ...; real coordinates are
rounded to the nearest pixel). `classes` chooses the polygons by row index:
None for every row, one integer for that row, or a list of integers (an empty
list gives an all-zero mask). Negative indices count from the end; an index
outside the rows raises IndexError.

With one_class_only true the result is a uint8 H x W mask, 1 on the chosen
polygons and 0 elsewhere. With one_class_only false, polygon row i is painted
with the value i + 1 (later entries of `classes` over earlier ones where they
overlap), in uint8 when the record has at most 255 polygons, else uint16 (at
most 65535) or int32.)doc");
}
