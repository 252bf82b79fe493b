// Crop of an image and its labels to an (h, w) window placed at random, in
// the centre or around a chosen object; smaller images are padded.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <vector>

#include "common/draws.hpp"
#include "common/errors.hpp"
#include "common/geometry.hpp"

namespace py = pybind11;
using namespace kiro::geometry;
namespace poly = kiro::polygons;

namespace {

long long floor_div(long long a, long long b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

long long randrange(long long n) { return kiro::draw::random_module().attr("randrange")(n).cast<long long>(); }

// Offsets along one axis for a window of `win` over an image of `len`:
// [min(0, len - win), max(0, len - win)] (negative offsets pad).
struct Span {
    long long lo, hi;
};
Span span(int len, int win) { return {std::min(0, len - win), std::max(0, len - win)}; }

// The offsets of windows that hold [b0, b1] (or lie inside it when it is
// longer than the window), kept within `s`.
Span around(Span s, double b0, double b1, int win) {
    long long a = static_cast<long long>(std::ceil(b1)) - win, b = static_cast<long long>(std::floor(b0));
    if (a > b) std::swap(a, b);
    a = std::clamp(a, s.lo, s.hi);
    b = std::clamp(b, s.lo, s.hi);
    return {a, b};
}

// The box of a randomly chosen object: a polygon row that reaches into the
// image, else a pixel of a mask class other than bg_mask. False when there
// is none (no draw then).
bool object_box(const Sample& s, const uint8_t* bg, double box[4]) {
    if (s.has_points) {
        std::vector<size_t> rows;
        std::vector<std::array<double, 4>> boxes;
        for (size_t r = 0; r < s.points.polys.size(); ++r) {
            const poly::Poly& p = s.points.polys[r];
            if (p.empty()) continue;
            double x0 = p[0].x, x1 = p[0].x, y0 = p[0].y, y1 = p[0].y;
            for (const poly::Pt& q : p) {
                x0 = std::min(x0, q.x), x1 = std::max(x1, q.x);
                y0 = std::min(y0, q.y), y1 = std::max(y1, q.y);
            }
            x0 = std::max(x0, 0.0), y0 = std::max(y0, 0.0);
            x1 = std::min(x1, static_cast<double>(s.w)), y1 = std::min(y1, static_cast<double>(s.h));
            if (x0 > x1 || y0 > y1 || (x0 == x1 && (x0 == 0 || x0 == s.w)) || (y0 == y1 && (y0 == 0 || y0 == s.h)))
                continue;
            boxes.push_back({x0, y0, x1, y1});
        }
        if (!boxes.empty()) {
            const auto& b = boxes[static_cast<size_t>(randrange(static_cast<long long>(boxes.size())))];
            std::copy(b.begin(), b.end(), box);
            return true;
        }
    }
    if (!s.has_mask) return false;
    const cv::Mat& m = s.mask.mat;
    const size_t elem = s.mask.elem;
    auto is_object = [&](const uint8_t* p) { return elem == 1 ? *p != bg[0] : std::memcmp(p, bg, elem) != 0; };
    long long count = 0;
    {
        py::gil_scoped_release nogil;
        for (int y = 0; y < m.rows; ++y) {
            const uint8_t* row = m.ptr<uint8_t>(y);
            for (int x = 0; x < m.cols; ++x) count += is_object(row + x * elem);
        }
    }
    if (count == 0) return false;
    long long k = randrange(count);
    for (int y = 0; y < m.rows; ++y) {
        const uint8_t* row = m.ptr<uint8_t>(y);
        for (int x = 0; x < m.cols; ++x) {
            if (is_object(row + x * elem) && k-- == 0) {
                box[0] = x, box[1] = y, box[2] = x + 1, box[3] = y + 1;
                return true;
            }
        }
    }
    return false;
}

}  // namespace

py::object crop(py::object data, py::object size, py::object prob, py::object position, py::object fill,
                py::object mask_fill, py::object bg_mask, py::object min_area, py::object min_visibility) {
    const Size2 win = size_arg(size);
    const double p = real_arg(prob, "prob");
    const std::string where = choice_arg(position, "position", {"random", "center", "objects"});
    poly::Frame frame{static_cast<double>(win.w), static_cast<double>(win.h), real_arg(min_area, "min_area"),
                      visibility_arg(min_visibility)};
    Sample s = read_sample(data, mask_fill);
    const cv::Scalar border = fill_arg(fill, s.image.channels());
    uint8_t bg[8] = {};
    if (s.has_mask) kiro::raw_value(bg_mask, s.mask.array.dtype(), "bg_mask", bg);
    else real_arg(bg_mask, "bg_mask");
    if (!acts(p)) return data;

    const Span sx = span(s.w, win.w), sy = span(s.h, win.h);
    long long x0, y0;
    if (where == "center") {
        x0 = floor_div(s.w - win.w, 2);
        y0 = floor_div(s.h - win.h, 2);
    } else {
        Span ax = sx, ay = sy;
        double box[4];
        if (where == "objects" && object_box(s, bg, box)) {
            ax = around(sx, box[0], box[2], win.w);
            ay = around(sy, box[1], box[3], win.h);
        }
        x0 = kiro::draw::randint(ax.lo, ax.hi);
        y0 = kiro::draw::randint(ay.lo, ay.hi);
    }
    const int ix = static_cast<int>(x0), iy = static_cast<int>(y0);
    const poly::Map map = poly::Map::affine(1, 0, -static_cast<double>(x0), 0, 1, -static_cast<double>(y0));
    const bool inside = x0 >= 0 && y0 >= 0 && x0 + win.w <= s.w && y0 + win.h <= s.h;

    py::object image, mask;
    poly::Output out;
    if (inside) {
        image = window_view(s.image.array, ix, iy, win.w, win.h);
        if (s.has_mask) mask = window_view(s.mask.array, ix, iy, win.w, win.h);
        py::gil_scoped_release nogil;
        if (s.has_points) poly::transform(s.points, map, frame, out);
    } else {
        // The part of the image inside the window, and where it lands.
        const cv::Rect src_rect = cv::Rect(ix, iy, win.w, win.h) & cv::Rect(0, 0, s.w, s.h);
        const cv::Rect dst_rect(src_rect.x - ix, src_rect.y - iy, src_rect.width, src_rect.height);
        Outputs o = new_outputs(s, win.h, win.w);
        {
            py::gil_scoped_release nogil;
            fill_outside(o.image_mat, dst_rect, image_filler(border));
            if (!src_rect.empty()) s.image.mat(src_rect).copyTo(o.image_mat(dst_rect));
            if (s.has_mask) {
                fill_outside(o.mask_mat, dst_rect, mask_filler(s));
                if (!src_rect.empty()) s.mask.mat(src_rect).copyTo(o.mask_mat(dst_rect));
            }
            if (s.has_points) poly::transform(s.points, map, frame, out);
        }
        image = o.image;
        mask = o.mask;
    }
    return store(s, image, mask, &out, bg_mask);
}

PYBIND11_MODULE(crop, m) {
    kiro::register_errors();
    m.def("crop", &crop, py::arg("data"), py::arg("size"), py::arg("prob") = 1.0, py::arg("position") = "random",
          py::arg("fill") = 0, py::arg("mask_fill") = 0, py::arg("bg_mask") = 0, py::arg("min_area") = 1.0,
          py::arg("min_visibility") = 0.0,
          R"doc(Crop an image, or a sample record with its mask and polygons, to `size`.

`size` is (h, w) or one integer for a square. Draws random() (the gate) and
crops when it is below `prob`. The window's offsets (x0, y0) range over
[min(0, W - w), max(0, W - w)] and likewise in y; negative offsets, or a
window past the image, pad with `fill` / `mask_fill`, so the result is
always h x w. `position`:
- "random": x0 = random.randint over that range, then y0;
- "center": x0 = (W - w) // 2, y0 = (H - h) // 2 (no draw);
- "objects": one object is chosen with random.randrange: a polygon row that
  reaches into the image, or else one pixel of a mask class other than
  `bg_mask`; x0 and y0 are then drawn (random.randint) among the offsets
  whose window holds the object's box (or lies inside a box larger than the
  window). Without objects it places the window as "random" does.
A window inside the image gives views of the input arrays (as slicing does);
otherwise new arrays. Polygons are shifted and clipped exactly to the window
(`min_area`, `min_visibility` as in affine), "labels" follow their rows and
"bbox" is recomputed (mask boxes with `bg_mask`).

A bare image gives the new image; a record is updated in place and returned.)doc");
}
