// Resize of an image and its labels: to (h, w), to a longer side, fitted
// inside (h, w) keeping the ratio, or letterboxed (fitted, then padded).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>

#include "common/errors.hpp"
#include "common/geometry.hpp"
#include "common/kinds.hpp"

namespace py = pybind11;
using namespace kiro::geometry;
namespace poly = kiro::polygons;

py::object resize(py::object data, py::object size, py::object keep_ratio, py::object letterbox,
                  py::object interpolation, py::object fill, py::object mask_fill) {
    const Size2 target = size_arg(size);
    const bool box = kiro::truthy(letterbox);
    const bool fit = box || kiro::truthy(keep_ratio);
    const int flags = interpolation_arg(interpolation, true);
    Sample s = read_sample(data, mask_fill);
    const cv::Scalar border = fill_arg(fill, s.image.channels());

    // The resized image (nw x nh) and the output it lands in (ow x oh).
    int nw, nh;
    if (target.single) {
        const double r = static_cast<double>(target.w) / std::max(s.w, s.h);
        nw = rounded_size(s.w * r);
        nh = rounded_size(s.h * r);
    } else if (fit) {
        const double r = std::min(static_cast<double>(target.h) / s.h, static_cast<double>(target.w) / s.w);
        nw = std::min(target.w, rounded_size(s.w * r));
        nh = std::min(target.h, rounded_size(s.h * r));
    } else {
        nw = target.w;
        nh = target.h;
    }
    const int ow = box ? target.w : nw, oh = box ? target.h : nh;
    const int ox = (ow - nw) / 2, oy = (oh - nh) / 2;
    const poly::Map map = poly::Map::affine(static_cast<double>(nw) / s.w, 0, ox, 0, static_cast<double>(nh) / s.h, oy);
    const cv::Rect inner(ox, oy, nw, nh);

    Outputs o = new_outputs(s, oh, ow);
    poly::Output out;
    {
        py::gil_scoped_release nogil;
        resize_outputs(s, o, inner, flags, border);
        if (s.has_points) poly::transform(s.points, map, {double(ow), double(oh), 0.0, 0.0}, out);
    }
    return store(s, o.image, o.mask, &out, py::int_(0));
}

PYBIND11_MODULE(resize, m) {
    kiro::register_errors();
    m.def("resize", &resize, py::arg("data"), py::arg("size"), py::arg("keep_ratio") = false,
          py::arg("letterbox") = false, py::arg("interpolation") = "linear", py::arg("fill") = 0,
          py::arg("mask_fill") = 0,
          R"doc(Resize an image, or a sample record with its mask and polygons.

`size` (h, w) resizes to exactly that; one integer makes it the longer side,
the other side keeping the ratio. `keep_ratio` fits the image inside (h, w)
with its ratio kept; `letterbox` fits it so and pads it, centred (offsets
rounded down), to exactly (h, w) (or size x size) with `fill` / `mask_fill`.
Sizes are rounded to the nearest integer. No draws.

The image is resized with `interpolation` ("nearest", "linear", "cubic",
"area"), the mask with nearest-neighbour. Polygons scale by the image's own
factors (new width / old width, new height / old height), are shifted by the
letterbox offsets and clipped to the frame; "labels" follow their rows and
"bbox" is recomputed.

A bare image gives the new image; a record is updated in place and returned.)doc");
}
