// Affine warp of an image and its labels about the image centre: rotation,
// scale, translation and shear, fixed or drawn; polygons are exact.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>

#include "common/errors.hpp"
#include "common/geometry.hpp"
#include "common/warp.hpp"

namespace py = pybind11;
using namespace kiro::geometry;
namespace poly = kiro::polygons;

namespace {

// p' = A (p - c) + c + (tx W, ty H), c = (W/2, H/2), A = R(rotate) S(scale)
// Sh(shear_x, shear_y), R S as cv::getRotationMatrix2D builds them.
poly::Map affine_map(double W, double H, double rotate, double scale, double tx, double ty, double sx, double sy) {
    const double angle = rotate * CV_PI / 180;
    const double alpha = std::cos(angle) * scale, beta = std::sin(angle) * scale;
    const double tsx = std::tan(sx * CV_PI / 180), tsy = std::tan(sy * CV_PI / 180);
    const double a = alpha + beta * tsy, b = alpha * tsx + beta;
    const double d = -beta + alpha * tsy, e = -beta * tsx + alpha;
    const double cx = W / 2, cy = H / 2;
    return poly::Map::affine(a, b, cx - a * cx - b * cy + tx * W, d, e, cy - d * cx - e * cy + ty * H);
}

cv::Matx23d pixel_affine(const poly::Map& map) {
    double m[9];
    map.pixel_matrix(m);
    return cv::Matx23d(m[0], m[1], m[2], m[3], m[4], m[5]);
}

Range scale_arg(py::handle v) {
    Range r = range_arg(v, "scale");
    if (!(r.lo > 0)) throw py::value_error("scale must be above 0, got " + text_of(v));
    return r;
}

Range shear_arg(py::handle v) {
    Range r = range_arg(v, "shear");
    if (!(r.lo > -90 && r.hi < 90)) throw py::value_error("shear must lie within (-90, 90) degrees, got " + text_of(v));
    return r;
}

}  // namespace

py::object affine(py::object data, py::object prob, py::object rotate, py::object scale, py::object translate,
                  py::object shear, py::object interpolation, py::object fill, py::object mask_fill,
                  py::object min_area, py::object min_visibility) {
    const double p = real_arg(prob, "prob");
    const Range rot = range_arg(rotate, "rotate"), sc = scale_arg(scale), tr = range_arg(translate, "translate");
    const Range sh = shear_arg(shear);
    const int flags = interpolation_arg(interpolation, false);
    poly::Frame frame{0, 0, real_arg(min_area, "min_area"), visibility_arg(min_visibility)};
    Sample s = read_sample(data, mask_fill);
    const cv::Scalar border = fill_arg(fill, s.image.channels());
    if (!acts(p)) return data;

    const double r = rot.draw(), k = sc.draw(), tx = tr.draw(), ty = tr.draw(), sx = sh.draw(), sy = sh.draw();
    frame.W = s.w;
    frame.H = s.h;
    const poly::Map map = affine_map(s.w, s.h, r, k, tx, ty, sx, sy);
    const cv::Matx23d M = pixel_affine(map);

    Outputs o = new_outputs(s, s.h, s.w);
    poly::Output out;
    {
        py::gil_scoped_release nogil;
        cv::Mat raw, raw_dst;
        uint8_t bytes[8];
        if (flags == cv::INTER_LINEAR)
            kiro::warp_affine_linear(s.image.mat, o.image_mat, M, border);
        else if (flags == cv::INTER_NEAREST && raw_pixels(s.image.mat, border, raw, raw_dst, o.image_mat, bytes))
            kiro::warp_affine_nearest(raw, raw_dst, M, bytes);
        else
            cv::warpAffine(s.image.mat, o.image_mat, M, o.image_mat.size(), flags, cv::BORDER_CONSTANT, border);
        if (s.has_mask) kiro::warp_affine_nearest(s.mask.mat, o.mask_mat, M, s.mask.fill);
        if (s.has_points) poly::transform(s.points, map, frame, out);
    }
    return store(s, o.image, o.mask, &out, py::int_(0));
}

PYBIND11_MODULE(affine, m) {
    kiro::register_errors();
    m.def("affine", &affine, py::arg("data"), py::arg("prob") = 1.0, py::arg("rotate") = 0, py::arg("scale") = 1,
          py::arg("translate") = 0, py::arg("shear") = 0, py::arg("interpolation") = "linear", py::arg("fill") = 0,
          py::arg("mask_fill") = 0, py::arg("min_area") = 1.0, py::arg("min_visibility") = 0.0,
          R"doc(Affine warp of an image, or a sample record with its mask and polygons.

Draws random() (the gate) and warps when it is below `prob`. Then, for each
of rotate, scale, translate (x, then y) and shear (x, then y) given as
[min, max], one random.uniform(min, max); a number is used as it is.
rotate: degrees, positive turns counter-clockwise on screen; scale: factor;
translate: fraction of the width and height; shear: degrees. In continuous
coordinates, with c = (W/2, H/2):

    p' = A (p - c) + c + (tx W, ty H),  A = R(rotate) S(scale) Sh(shear)

R S as in cv::getRotationMatrix2D, Sh = [[1, tan shear_x], [tan shear_y, 1]].
The image is warped with `interpolation` ("nearest", "linear", "cubic") and
`fill` (a number or one per channel) where nothing maps; the mask with
nearest-neighbour and `mask_fill`. Polygons are mapped in double precision
and clipped exactly to the frame: pieces below `min_area` square pixels are
dropped, and a polygon with less than `min_visibility` of its area left
inside is dropped whole; "labels" follow the rows, "bbox" is recomputed.
Integer keypoints are rounded to the nearest integer.

A bare image gives the new image; a record is updated in place and returned.)doc");
    m.def(
        "_matrix",
        [](double W, double H, double rotate, double scale, double tx, double ty, double sx, double sy) {
            const cv::Matx23d M = pixel_affine(affine_map(W, H, rotate, scale, tx, ty, sx, sy));
            py::array_t<double> out({2, 3});
            std::copy(M.val, M.val + 6, out.mutable_data());
            return out;
        },
        py::arg("width"), py::arg("height"), py::arg("rotate") = 0.0, py::arg("scale") = 1.0, py::arg("tx") = 0.0,
        py::arg("ty") = 0.0, py::arg("shear_x") = 0.0, py::arg("shear_y") = 0.0,
        "OpenCV's pixel-centre 2 x 3 matrix of affine's warp for these parameters.");
}
