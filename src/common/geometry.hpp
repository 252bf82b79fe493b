// What the geometric operations (flip, affine, perspective, crop, resize,
// scale_jitter) share: their argument kinds, the intake of a bare image or a
// record {"image", "mask", "keypoints", "labels", "bbox"} checked whole
// before anything changes, and the store of the results.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/arrays.hpp"
#include "common/draws.hpp"
#include "common/element_values.hpp"
#include "common/kinds.hpp"
#include "common/polygons.hpp"
#include "common/raw_mask.hpp"
#include "common/resize.hpp"
#include "common/row_labels.hpp"

namespace kiro {
namespace geometry {
namespace py = pybind11;

inline std::string type_name(py::handle h) { return py::str(py::type::handle_of(h).attr("__name__")); }
inline std::string text_of(py::handle h) { return py::repr(h); }

// ---- arguments ----------------------------------------------------------------

// A finite real number (bools are not numbers here).
inline double real_arg(py::handle v, const char* name) {
    if (is_bool(v) || !(is_integer(v) || is_real(v)))
        throw py::type_error(std::string(name) + " must be a number, got " + type_name(v));
    const double d = py::float_(py::reinterpret_borrow<py::object>(v)).cast<double>();
    if (!std::isfinite(d)) throw py::value_error(std::string(name) + " must be finite, got " + text_of(v));
    return d;
}

inline double visibility_arg(py::handle v) {
    const double d = real_arg(v, "min_visibility");
    if (d < 0 || d > 1) throw py::value_error("min_visibility must lie in [0, 1], got " + text_of(v));
    return d;
}

// The gate: one random() draw; the operation acts when it is below `prob`.
inline bool acts(double prob) { return draw::random() < prob; }

// A number (fixed, no draw) or [min, max] (drawn with random.uniform).
struct Range {
    double lo = 0, hi = 0;
    bool fixed = true;
    double draw() const { return fixed ? lo : draw::uniform(lo, hi); }
};

inline Range range_arg(py::handle v, const char* name) {
    Range r;
    if (is_seq(v)) {
        if (py::len(v) != 2)
            throw py::value_error(std::string(name) + " must be a number or [min, max], got " + text_of(v));
        r.lo = real_arg(v[py::int_(0)], name);
        r.hi = real_arg(v[py::int_(1)], name);
        if (r.lo > r.hi) throw py::value_error(std::string(name) + ": min is above max in " + text_of(v));
        r.fixed = false;
        return r;
    }
    if (is_bool(v) || !(is_integer(v) || is_real(v)))
        throw py::type_error(std::string(name) + " must be a number or [min, max], got " + type_name(v));
    r.lo = r.hi = real_arg(v, name);
    return r;
}

// "nearest", "linear", "cubic" (and "area" where allowed) as OpenCV flags.
inline int interpolation_arg(py::handle v, bool allow_area) {
    const char* names = allow_area ? "\"nearest\", \"linear\", \"cubic\" or \"area\""
                                   : "\"nearest\", \"linear\" or \"cubic\"";
    if (!is_text(v))
        throw py::type_error(std::string("interpolation must be ") + names + ", got " + type_name(v));
    const std::string s = py::str(v);
    if (s == "nearest") return cv::INTER_NEAREST;
    if (s == "linear") return cv::INTER_LINEAR;
    if (s == "cubic") return cv::INTER_CUBIC;
    if (s == "area" && allow_area) return cv::INTER_AREA;
    throw py::value_error(std::string("interpolation must be ") + names + ", got " + text_of(v));
}

// One of the given words.
inline std::string choice_arg(py::handle v, const char* name, const std::vector<const char*>& words) {
    std::string list;
    for (size_t i = 0; i < words.size(); ++i)
        list += (i ? (i + 1 == words.size() ? " or " : ", ") : "") + std::string("\"") + words[i] + "\"";
    if (!is_text(v)) throw py::type_error(std::string(name) + " must be " + list + ", got " + type_name(v));
    const std::string s = py::str(v);
    for (const char* w : words)
        if (s == w) return s;
    throw py::value_error(std::string(name) + " must be " + list + ", got " + text_of(v));
}

inline int positive_int(py::handle v, const char* name) {
    if (is_bool(v) || !is_integer(v))
        throw py::type_error(std::string(name) + " must be a positive integer or (height, width), got " +
                             type_name(v));
    const long long n = to_int(v);
    if (n <= 0 || n >= (1 << 20))
        throw py::value_error(std::string(name) + " must be positive (and below 2**20), got " + text_of(v));
    return static_cast<int>(n);
}

// (height, width), or one integer: `single` is set and h = w = that integer.
struct Size2 {
    int h = 0, w = 0;
    bool single = false;
};

inline Size2 size_arg(py::handle v) {
    Size2 s;
    if (is_seq(v)) {
        if (py::len(v) != 2) throw py::value_error("size must be an integer or (height, width), got " + text_of(v));
        s.h = positive_int(v[py::int_(0)], "size");
        s.w = positive_int(v[py::int_(1)], "size");
        return s;
    }
    s.h = s.w = positive_int(v, "size");
    s.single = true;
    return s;
}

// Sizes are rounded to the nearest integer (halves up), at least 1.
inline int rounded_size(double v) { return std::max(1, static_cast<int>(std::floor(v + 0.5))); }

// `fill`: one number for every channel, or one per channel.
inline cv::Scalar fill_arg(py::handle v, int channels) {
    if (is_seq(v)) {
        const py::ssize_t n = py::len(v);
        if (n != channels && n != 1)
            throw py::value_error("fill gives " + std::to_string(n) + " values, the image has " +
                                  std::to_string(channels) + " channels");
        if (channels > 4 && n != 1) throw py::value_error("fill: one value per channel needs at most 4 channels");
        cv::Scalar s;
        for (int k = 0; k < 4; ++k) s[k] = real_arg(v[py::int_(n == 1 ? 0 : std::min<py::ssize_t>(k, n - 1))], "fill");
        return s;
    }
    return cv::Scalar::all(real_arg(v, "fill"));
}

// `fill(band)` on the parts of `dst` outside `inner` (top, bottom, left and
// right bands).
template <class Fill>
void fill_outside(cv::Mat& dst, const cv::Rect& inner, Fill&& fill) {
    const cv::Rect all(0, 0, dst.cols, dst.rows);
    const cv::Rect in = inner & all;
    if (in.empty()) {
        fill(dst);
        return;
    }
    auto band = [&](const cv::Rect& r) {
        if (r.width > 0 && r.height > 0) {
            cv::Mat roi = dst(r);
            fill(roi);
        }
    };
    band(cv::Rect(0, 0, dst.cols, in.y));
    band(cv::Rect(0, in.y + in.height, dst.cols, dst.rows - in.y - in.height));
    band(cv::Rect(0, in.y, in.x, in.height));
    band(cv::Rect(in.x + in.width, in.y, dst.cols - in.x - in.width, in.height));
}

// ---- the sample -------------------------------------------------------------------

// Every element of `roi` set to the `elem` bytes at `value`.
inline void fill_raw(cv::Mat roi, const uint8_t* value, size_t elem) {
    if (roi.empty()) return;
    bool same = true;
    for (size_t k = 1; k < elem; ++k) same = same && value[k] == value[0];
    const size_t row = static_cast<size_t>(roi.cols) * elem;
    for (int y = 0; y < roi.rows; ++y) {
        uint8_t* p = roi.ptr<uint8_t>(y);
        if (same) {
            std::memset(p, value[0], row);
        } else {
            for (int x = 0; x < roi.cols; ++x) std::memcpy(p + x * elem, value, elem);
        }
    }
}

// src resized to dst's size (dst allocated, possibly a region of a larger
// image): kiro's kernel for bicubic 8-bit, OpenCV otherwise. Nearest
// neighbour is OpenCV's INTER_NEAREST_EXACT, which takes the source pixel
// under each destination pixel's centre; INTER_NEAREST floors x * scale
// instead and shifts the result by up to half a destination pixel against
// the exactly scaled polygons.
inline void resize_into(const cv::Mat& src, cv::Mat dst, int flags) {
    if (flags == cv::INTER_CUBIC && cubic_supported(src))
        resize_cubic(src, dst);
    else
        cv::resize(src, dst, dst.size(), 0, 0, flags == cv::INTER_NEAREST ? cv::INTER_NEAREST_EXACT : flags);
}

// An image whose pixels can move as raw elements (1, 2, 4 or 8 bytes) for
// nearest-neighbour warps: the Mat of that raw view and the fill's bytes.
inline bool raw_pixels(const cv::Mat& image, const cv::Scalar& fill, cv::Mat& raw, cv::Mat& raw_dst, cv::Mat& dst,
                       uint8_t bytes[8]) {
    const size_t e = image.elemSize();
    const int type = e == 1 ? CV_8UC1 : e == 2 ? CV_16UC1 : e == 4 ? CV_32SC1 : e == 8 ? CV_32SC2 : -1;
    if (type < 0 || image.channels() > 4) return false;
    cv::Mat px(1, 1, image.type(), bytes);
    px.setTo(fill);
    raw = cv::Mat(image.rows, image.cols, type, image.data, image.step);
    raw_dst = cv::Mat(dst.rows, dst.cols, type, dst.data, dst.step);
    return true;
}

// 8-bit pixels of 1, 3 or 4 channels converted between grey, BGR and BGRA
// (alpha 255 where it is added), as records of mixed kinds need.
inline bool convertible(int from, int to) {
    auto ok = [](int c) { return c == 1 || c == 3 || c == 4; };
    return from == to || (ok(from) && ok(to));
}

inline cv::Mat in_channels(const cv::Mat& src, int channels) {
    if (src.channels() == channels) return src;
    static const int codes[5][5] = {{0}, {0, 0, 0, cv::COLOR_GRAY2BGR, cv::COLOR_GRAY2BGRA}, {0},
                                    {0, cv::COLOR_BGR2GRAY, 0, 0, cv::COLOR_BGR2BGRA},
                                    {0, cv::COLOR_BGRA2GRAY, 0, cv::COLOR_BGRA2BGR, 0}};
    cv::Mat out;
    cv::cvtColor(src, out, codes[src.channels()][channels]);
    return out;
}

// a[y0:y0 + h, x0:x0 + w], a view.
inline py::object window_view(const py::array& a, int x0, int y0, int w, int h) {
    return a[py::make_tuple(py::slice(y0, y0 + h, 1), py::slice(x0, x0 + w, 1))];
}

struct Sample {
    py::object data;        // the record, or the bare image
    bool record = false;
    py::object image_obj;   // as given (crop views are taken from it)
    Image image;
    int h = 0, w = 0;
    bool has_mask = false, has_points = false, has_bbox = false;
    Mask mask;
    polygons::Input points;
};

inline Sample read_sample(py::handle data, py::handle mask_fill, const char* fill_name = "mask_fill") {
    Sample s;
    s.data = py::reinterpret_borrow<py::object>(data);
    if (is_array(data)) {
        s.image_obj = s.data;
    } else if (PyDict_Check(data.ptr())) {
        s.record = true;
        if (!has_key(data, "image")) throw py::key_error("image");
        s.image_obj = data["image"];
    } else {
        throw py::type_error("data must be an image array or a sample record (a dict with \"image\"), got " +
                             type_name(data));
    }
    py::array a = as_ndarray(s.image_obj, "image");
    if (a.ndim() != 2 && a.ndim() != 3)
        throw py::value_error("image must have 2 or 3 axes (height x width [x channels]), got " +
                              std::to_string(a.ndim()));
    s.image = Image(a, "image");
    s.h = s.image.rows();
    s.w = s.image.cols();
    if (s.h == 0 || s.w == 0) throw py::value_error("image is empty");
    if (!s.record) return s;
    s.has_mask = has_key(data, "mask");
    s.has_points = has_key(data, "keypoints");
    s.has_bbox = has_key(data, "bbox");
    if (s.has_mask) s.mask = mask_arg(data["mask"], s.h, s.w, mask_fill, fill_name);
    if (s.has_points) s.points = polygons::read(data["keypoints"]);
    row_labels::check(data);
    return s;
}

// New image (same axes and type as the input) and new mask arrays.
inline py::array new_image(const Sample& s, int h, int w) {
    return new_array(h, w, s.image.ndim() == 3 ? s.image.array.shape(2) : 0, s.image.array.dtype());
}
inline cv::Mat image_mat(py::array& a, const Sample& s) {
    return cv::Mat(static_cast<int>(a.shape(0)), static_cast<int>(a.shape(1)), s.image.mat.type(), a.mutable_data());
}
// Image and mask fills as callables for fill_outside.
inline auto image_filler(const cv::Scalar& fill) {
    return [fill](cv::Mat& roi) { roi.setTo(fill); };
}
inline auto mask_filler(const Sample& s) {
    const Mask* m = &s.mask;
    return [m](cv::Mat& roi) { fill_raw(roi, m->fill, m->elem); };
}

inline py::array new_mask(const Sample& s, int h, int w) { return new_array(h, w, 0, s.mask.array.dtype()); }
inline cv::Mat mask_mat(py::array& a, const Sample& s) {
    return cv::Mat(static_cast<int>(a.shape(0)), static_cast<int>(a.shape(1)), s.mask.type, a.mutable_data());
}

// The new image and mask (when the record has one) of an operation, h x w.
struct Outputs {
    py::array image, mask;
    cv::Mat image_mat, mask_mat;
};

inline Outputs new_outputs(const Sample& s, int h, int w) {
    Outputs o;
    o.image = new_image(s, h, w);
    o.image_mat = image_mat(o.image, s);
    if (s.has_mask) {
        o.mask = new_mask(s, h, w);
        o.mask_mat = mask_mat(o.mask, s);
    }
    return o;
}

// Image and mask resized into the `inner` region of `o`, the rest filled.
inline void resize_outputs(const Sample& s, Outputs& o, const cv::Rect& inner, int flags, const cv::Scalar& fill) {
    fill_outside(o.image_mat, inner, image_filler(fill));
    resize_into(s.image.mat, o.image_mat(inner), flags);
    if (s.has_mask) {
        fill_outside(o.mask_mat, inner, mask_filler(s));
        resize_into(s.mask.mat, o.mask_mat(inner), cv::INTER_NEAREST);
    }
}

// Boxes of the new labels, as the rotation stores them.
inline void store_boxes(py::handle data, py::handle bg_mask) {
    if (has_key(data, "mask")) {
        py::object pair = py::module_::import("kiro.utils.mask2bbox").attr("mask2bbox")(data, bg_mask);
        data["bbox"] = pair[py::int_(0)];
        data["bbox_index"] = pair[py::int_(1)];
    }
    if (has_key(data, "keypoints")) {
        py::object np = py::module_::import("numpy");
        py::array kp = data["keypoints"].cast<py::array>();
        if (kp.size() == 0) {
            data["bbox"] = np.attr("zeros")(py::make_tuple(0, 4), kp.dtype());
            data["bbox_index"] = np.attr("arange")(0);
        } else {
            data["bbox"] = py::module_::import("kiro.utils.quarnet").attr("quarnet")(kp);
            data["bbox_index"] = np.attr("arange")(kp.shape(0));
        }
    }
}

// The results into the record (or the new image for a bare image). `mask`
// and `points` are used when the record has them.
inline py::object store(Sample& s, py::object image, py::object mask, const polygons::Output* points,
                        py::handle bg_mask) {
    if (!s.record) return image;
    py::object packed_points;
    if (s.has_points && points) packed_points = polygons::pack(*points, s.points);
    s.data["image"] = image;
    if (s.has_mask) s.data["mask"] = mask;
    if (s.has_points && points) {
        s.data["keypoints"] = packed_points;
        if (row_labels::present(s.data)) {
            py::list rows;
            for (py::ssize_t r : points->source) rows.append(r);
            row_labels::take(s.data, rows);
        }
    }
    if (s.has_bbox) store_boxes(s.data, bg_mask);
    return s.data;
}

}  // namespace geometry
}  // namespace kiro
