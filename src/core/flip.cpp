// Flip of an image and its labels: horizontal (x' = W - x), vertical
// (y' = H - y) or both; polygons keep their orientation.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>

#include "common/errors.hpp"
#include "common/flip.hpp"
#include "common/geometry.hpp"

namespace py = pybind11;
using namespace kiro::geometry;
namespace poly = kiro::polygons;

py::object flip(py::object data, py::object prob, py::object direction) {
    const double p = real_arg(prob, "prob");
    const std::string dir = choice_arg(direction, "direction", {"horizontal", "vertical", "both"});
    Sample s = read_sample(data, py::int_(0));
    if (!acts(p)) return data;

    const int code = dir == "horizontal" ? 1 : dir == "vertical" ? 0 : -1;
    const double W = s.w, H = s.h;
    const bool fx = code != 0, fy = code != 1;
    const poly::Map map = poly::Map::affine(fx ? -1 : 1, 0, fx ? W : 0, 0, fy ? -1 : 1, fy ? H : 0);

    Outputs o = new_outputs(s, s.h, s.w);
    poly::Output out;
    {
        py::gil_scoped_release nogil;
        kiro::flip(s.image.mat, o.image_mat, code);
        if (s.has_mask) kiro::flip(s.mask.mat, o.mask_mat, code);
        if (s.has_points) poly::transform(s.points, map, {W, H, 0.0, 0.0}, out);
    }
    return store(s, o.image, o.mask, &out, py::int_(0));
}

PYBIND11_MODULE(flip, m) {
    kiro::register_errors();
    m.def("flip", &flip, py::arg("data"), py::arg("prob") = 0.5, py::arg("direction") = "horizontal",
          R"doc(Flip an image, or a sample record with its mask and polygons.

Draws random() (the gate) and flips when it is below `prob`; otherwise
`data` comes back untouched. `direction` is "horizontal", "vertical" or
"both". Polygon vertices go through the image's own transform in continuous
coordinates (x' = W - x, y' = H - y), are clipped to the frame and reversed,
so clockwise polygons stay clockwise; "labels" follow their rows and a
"bbox" entry is recomputed from the new labels.

A bare image gives the flipped image; a record is updated in place (new
arrays) and returned.)doc");
}
