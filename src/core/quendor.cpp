// Slight rotation: the image, its mask and its keypoint polygons turned about
// the image centre by a fixed or drawn angle in [-45, 45] degrees, with
// optional bounding boxes of the labels.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/arrays.hpp"
#include "common/draws.hpp"
#include "common/element_values.hpp"
#include "common/errors.hpp"
#include "common/kinds.hpp"
#include "common/labels.hpp"
#include "common/module.hpp"
#include "common/raw_mask.hpp"
#include "common/warp.hpp"

namespace py = pybind11;

namespace {

kiro::Globals g;

constexpr const char* kNoAngle = "No angle found.";
constexpr const char* kBoundary = "Wrong angle boundary.";
constexpr const char* kAngleType =
    "Wrong data type of angle, it should be a integer in (0,45) or a (min,max) tuple/list.";
constexpr long long kLimit = 45;


// `a, b = result`, with Python's unpacking errors.
std::pair<py::object, py::object> unpack_pair(py::handle result) {
    py::iterator it = py::iter(result);
    std::vector<py::object> items;
    for (; it != py::iterator::sentinel(); ++it) {
        items.push_back(py::reinterpret_borrow<py::object>(*it));
        if (items.size() > 2) throw py::value_error("too many values to unpack (expected 2)");
    }
    if (items.size() < 2)
        throw py::value_error("not enough values to unpack (expected 2, got " + std::to_string(items.size()) + ")");
    return {items[0], items[1]};
}

// Boxes of the mask's objects, as mask2bbox gives them.
void store_mask_boxes(py::handle data, py::handle bg_mask) {
    auto [boxes, index] = unpack_pair(g("mask2bbox")(data, bg_mask));
    data["bbox"] = boxes;
    data["bbox_index"] = index;
}

// Boxes of the polygons, indexed 0..n-1.
void store_polygon_boxes(py::handle data, py::handle keypoints) {
    py::object boxes = g("quarnet")(keypoints);
    data["bbox_index"] = py::module_::import("numpy").attr("arange")(py::len(boxes));
    data["bbox"] = boxes;
}

// 1. The angle in degrees. Integers (booleans and NumPy integers too) are
// clipped to [-45, 45]; a (min, max) tuple or list draws a uniform integer in
// the clipped range.
long long clipped(py::handle integer) {
    py::object i = py::reinterpret_steal<py::object>(PyNumber_Index(integer.ptr()));
    if (!i) throw py::error_already_set();
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow != 0) v = overflow > 0 ? kLimit : -kLimit;
    return std::clamp(v, -kLimit, kLimit);
}

long long angle_of(py::handle angle) {
    if (angle.is_none()) kiro::raise_plain(kNoAngle);
    if (kiro::is_integer(angle)) return clipped(angle);
    if (kiro::is_seq(angle)) {
        if (py::len(angle) < 2) kiro::raise_plain(kBoundary);
        py::object lo = angle[py::int_(0)], hi = angle[py::int_(1)];
        if (lo > hi) kiro::raise_plain(kBoundary);
        py::object builtins = py::module_::import("builtins");
        py::object a = builtins.attr("max")(-kLimit, lo), b = builtins.attr("min")(kLimit, hi);
        return clipped(kiro::draw::randint(a, b));
    }
    kiro::raise_plain(kAngleType);
}

// 2. Everything is checked before the record changes (the mask as raw
// elements of its width, bg_mask filling the uncovered corners).
struct KeypointInput {
    py::array values;  // C-contiguous, native order
    std::vector<double> flat;
};

KeypointInput keypoint_input(py::handle obj) {
    py::array a = kiro::as_ndarray(obj, "keypoints");
    if (a.ndim() < 1) throw py::value_error("keypoints must have at least 1 axis");
    if (a.shape(a.ndim() - 1) % 2 != 0)
        throw py::value_error("keypoints must have an even number of columns (x, y pairs), got " +
                              std::to_string(a.shape(a.ndim() - 1)));
    const char kind = a.dtype().kind();
    if (kind != 'b' && kind != 'u' && kind != 'i' && kind != 'f')
        throw py::type_error("keypoints must hold integers or reals, got " + std::string(py::str(a.dtype())));
    KeypointInput in;
    in.values = kiro::dense_native(a);
    in.flat.resize(static_cast<size_t>(in.values.size()));
    kiro::dispatch_dtype(in.values.dtype(), "keypoints", [&](auto tag) {
        using T = decltype(tag);
        const T* p = static_cast<const T*>(in.values.data());
        for (size_t i = 0; i < in.flat.size(); ++i) in.flat[i] = static_cast<double>(p[i]);
    });
    return in;
}

// 3. Keypoints: each (x, y) through M, clipped to [0, w] x [0, h], truncated.
bool turn_points(const std::vector<double>& flat, const cv::Matx23d& M, int h, int w, int32_t* out) {
    for (size_t i = 0; i + 1 < flat.size(); i += 2) {
        const double x = flat[i], y = flat[i + 1];
        double tx = M(0, 0) * x + M(0, 1) * y + M(0, 2);
        double ty = M(1, 0) * x + M(1, 1) * y + M(1, 2);
        if (std::isnan(tx) || std::isnan(ty)) return false;
        tx = std::min(std::max(tx, 0.0), static_cast<double>(w));
        ty = std::min(std::max(ty, 0.0), static_cast<double>(h));
        out[i] = static_cast<int32_t>(tx);
        out[i + 1] = static_cast<int32_t>(ty);
    }
    return true;
}

}  // namespace

py::object quendor(py::object data, py::object angle, py::object prob, py::object bg_mask, py::object use_bbox) {
    kiro::check_labels(data);
    const bool has_mask = kiro::has_key(data, "mask"), has_points = kiro::has_key(data, "keypoints");

    // Gate: no rotation, at most the boxes of the labels as they are.
    if (kiro::draw::gate_skips(prob)) {
        if (!kiro::truthy(use_bbox)) return data;
        if (has_mask) store_mask_boxes(data, bg_mask);
        if (has_points) store_polygon_boxes(data, data["keypoints"]);
        return data;
    }

    py::object image_obj = data["image"];
    const long long degrees = angle_of(angle);

    py::array image_arr = kiro::as_ndarray(image_obj, "image");
    if (image_arr.ndim() != 3)
        throw py::value_error("image must have 3 axes (height x width x channels), got " +
                              std::to_string(image_arr.ndim()));
    kiro::Image image(image_arr, "image");
    const int depth = image.mat.depth();
    if (depth != CV_8U && depth != CV_16U && depth != CV_16S && depth != CV_32F && depth != CV_64F)
        throw py::type_error("image: element type " + std::string(py::str(image_arr.dtype())) +
                             " cannot be warped (uint8, uint16, int16, float32 or float64)");
    const int h = image.rows(), w = image.cols();
    if (h == 0 || w == 0) throw py::value_error("image is empty");
    kiro::Mask mask;
    if (has_mask) mask = kiro::mask_arg(data["mask"], h, w, bg_mask, "bg_mask");
    KeypointInput points;
    if (has_points) points = keypoint_input(data["keypoints"]);

    const cv::Matx23d M = cv::getRotationMatrix2D(
        cv::Point2f(static_cast<float>(w / 2.0), static_cast<float>(h / 2.0)), static_cast<double>(degrees), 1.0);

    py::array new_image = kiro::new_array(h, w, image.channels(), image.array.dtype());
    cv::Mat image_dst = kiro::mat_view(new_image, "image");
    py::array new_mask, new_points;
    cv::Mat mask_dst;
    if (has_mask) {
        new_mask = kiro::new_array(h, w, 0, mask.array.dtype());
        mask_dst = cv::Mat(h, w, mask.type, new_mask.mutable_data());
    }
    if (has_points) {
        std::vector<py::ssize_t> shape(points.values.shape(), points.values.shape() + points.values.ndim());
        new_points = py::array(py::dtype::of<int32_t>(), shape);
    }
    int32_t* points_out = has_points ? static_cast<int32_t*>(new_points.mutable_data()) : nullptr;
    bool finite = true;
    {
        py::gil_scoped_release nogil;
        if (has_points) finite = turn_points(points.flat, M, h, w, points_out);
        if (finite) {
            kiro::warp_affine_linear(image.mat, image_dst, M, cv::Scalar());
            if (has_mask) kiro::warp_affine_nearest(mask.mat, mask_dst, M, mask.fill);
        }
    }
    if (!finite) throw py::value_error("keypoints hold values that turn into NaN");

    data["image"] = new_image;
    if (has_mask) {
        data["mask"] = new_mask;
        if (kiro::truthy(use_bbox)) store_mask_boxes(data, bg_mask);
    }
    if (has_points) {
        data["keypoints"] = new_points;
        if (!kiro::truthy(use_bbox)) return data;
        store_polygon_boxes(data, new_points);
    }
    return data;
}

PYBIND11_MODULE(quendor, m) {
    kiro::register_errors();
    kiro::import_name(m, "kiro.utils.quarnet", "quarnet");
    kiro::import_name(m, "kiro.utils.mask2bbox", "mask2bbox");
    g.bind(m);
    m.def("quendor", &quendor, py::arg("data"), py::arg("angle"), py::arg("prob") = 0.5, py::arg("bg_mask") = 0,
          py::arg("use_bbox") = false,
          R"doc(Rotate a sample's image, mask and keypoints about the image centre.

Draws random(); when it exceeds `prob` nothing is rotated, and with
`use_bbox` true the boxes of the labels as they are are stored. Otherwise the
angle is `angle` clipped to [-45, 45] when it is an integer (a bool counts as
0 or 1), or randint(max(-45, angle[0]), min(45, angle[1])) when it is a
(min, max) tuple or list; positive angles turn counter-clockwise on screen.

The image is warped with bilinear interpolation and a black border, the mask
with nearest-neighbour interpolation and `bg_mask` in the uncovered corners
(no new class values appear), and the keypoints (x, y pairs) are turned,
clipped to [0, w] and [0, h] and stored as int32 in their shape. With
`use_bbox` true, "bbox" and "bbox_index" receive mask2bbox(data, bg_mask) of
the turned mask, then (replacing them) quarnet of the turned keypoints with
indices 0..n-1.

Returns `data`, updated in place.)doc");
}
