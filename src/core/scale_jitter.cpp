// Large-scale jitter: the image resized so its longer side is a drawn
// multiple of the output's longer side, then cropped at a random place or
// padded (bottom and right) to the output size.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>

#include "common/draws.hpp"
#include "common/errors.hpp"
#include "common/geometry.hpp"

namespace py = pybind11;
using namespace kiro::geometry;
namespace poly = kiro::polygons;

py::object scale_jitter(py::object data, py::object size, py::object scale, py::object prob, py::object fill,
                        py::object mask_fill, py::object min_area, py::object min_visibility) {
    const Size2 out_size = size_arg(size);
    const Range sc = range_arg(scale, "scale");
    if (!(sc.lo > 0)) throw py::value_error("scale must be above 0, got " + text_of(scale));
    const double p = real_arg(prob, "prob");
    const int w = out_size.w, h = out_size.h;
    poly::Frame frame{double(w), double(h), real_arg(min_area, "min_area"), visibility_arg(min_visibility)};
    Sample s = read_sample(data, mask_fill);
    const cv::Scalar border = fill_arg(fill, s.image.channels());
    if (!acts(p)) return data;

    const double k = sc.draw();
    const double r = k * std::max(w, h) / std::max(s.w, s.h);
    const int nw = rounded_size(s.w * r), nh = rounded_size(s.h * r);
    const int x0 = static_cast<int>(kiro::draw::randint(0, std::max(0, nw - w)));
    const int y0 = static_cast<int>(kiro::draw::randint(0, std::max(0, nh - h)));
    const poly::Map map =
        poly::Map::affine(static_cast<double>(nw) / s.w, 0, -x0, 0, static_cast<double>(nh) / s.h, -y0);
    poly::Output out;
    py::object image, mask;

    if (nw >= w && nh >= h) {
        // Larger both ways: the window of the resized arrays, as a view.
        Outputs full = new_outputs(s, nh, nw);
        {
            py::gil_scoped_release nogil;
            resize_outputs(s, full, cv::Rect(0, 0, nw, nh), cv::INTER_LINEAR, border);
            if (s.has_points) poly::transform(s.points, map, frame, out);
        }
        image = window_view(full.image, x0, y0, w, h);
        if (s.has_mask) mask = window_view(full.mask, x0, y0, w, h);
        return store(s, image, mask, &out, py::int_(0));
    }

    // Padded at least one way: the output allocated once; the resized image
    // goes straight into it when it fits, else through one temporary.
    Outputs o = new_outputs(s, h, w);
    const cv::Rect inner(0, 0, std::min(nw, w), std::min(nh, h));
    {
        py::gil_scoped_release nogil;
        if (nw <= w && nh <= h) {
            resize_outputs(s, o, inner, cv::INTER_LINEAR, border);
        } else {
            const cv::Rect window(x0, y0, inner.width, inner.height);
            auto through = [&](const cv::Mat& src, cv::Mat& dst, int flags) {
                cv::Mat tmp(nh, nw, src.type());
                resize_into(src, tmp, flags);
                tmp(window).copyTo(dst(inner));
            };
            fill_outside(o.image_mat, inner, image_filler(border));
            through(s.image.mat, o.image_mat, cv::INTER_LINEAR);
            if (s.has_mask) {
                fill_outside(o.mask_mat, inner, mask_filler(s));
                through(s.mask.mat, o.mask_mat, cv::INTER_NEAREST);
            }
        }
        if (s.has_points) poly::transform(s.points, map, frame, out);
    }
    return store(s, o.image, o.mask, &out, py::int_(0));
}

PYBIND11_MODULE(scale_jitter, m) {
    kiro::register_errors();
    m.def("scale_jitter", &scale_jitter, py::arg("data"), py::arg("size"), py::arg("scale") = py::make_tuple(0.1, 2.0),
          py::arg("prob") = 1.0, py::arg("fill") = 0, py::arg("mask_fill") = 0, py::arg("min_area") = 1.0,
          py::arg("min_visibility") = 0.0,
          R"doc(Large-scale jitter of an image, or a sample record with its mask and polygons.

`size` is the output (h, w) (one integer: a square). Draws random() (the
gate) and acts when it is below `prob`; then the scale s (random.uniform
over `scale`, or the number given), and the image is resized (bilinear; the
mask nearest-neighbour) so its longer side is s x max(h, w), keeping its
ratio (sizes rounded to the nearest integer). Then x0 =
random.randint(0, max(0, new width - w)) and y0 likewise (both always drawn)
place an h x w window on it; where the resized image is smaller, the
window is padded at the bottom and right with `fill` / `mask_fill`.
Polygons scale by the image's own factors, are shifted and clipped exactly
(`min_area`, `min_visibility` as in affine); "labels" follow their rows and
"bbox" is recomputed. When the resized image covers the window both ways,
the results are views of the resized arrays.

A bare image gives the new image; a record is updated in place and returned.)doc");
}
