// Perspective warp of an image and its labels: each frame corner moves
// inward by a fixed or drawn fraction of the width and height.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <utility>
#include <vector>

#include "common/errors.hpp"
#include "common/geometry.hpp"
#include "common/warp.hpp"

namespace py = pybind11;
using namespace kiro::geometry;
namespace poly = kiro::polygons;

namespace {

// The homography (h22 = 1) taking src[i] to dst[i], four point pairs, by
// Gaussian elimination with partial pivoting in double precision.
bool homography(const poly::Pt src[4], const poly::Pt dst[4], double h[9]) {
    double a[8][9] = {};
    for (int i = 0; i < 4; ++i) {
        const double x = src[i].x, y = src[i].y, u = dst[i].x, v = dst[i].y;
        double* r0 = a[2 * i];
        double* r1 = a[2 * i + 1];
        r0[0] = x, r0[1] = y, r0[2] = 1, r0[6] = -x * u, r0[7] = -y * u, r0[8] = u;
        r1[3] = x, r1[4] = y, r1[5] = 1, r1[6] = -x * v, r1[7] = -y * v, r1[8] = v;
    }
    for (int c = 0; c < 8; ++c) {
        int best = c;
        for (int r = c + 1; r < 8; ++r)
            if (std::fabs(a[r][c]) > std::fabs(a[best][c])) best = r;
        if (std::fabs(a[best][c]) < 1e-300) return false;
        if (best != c)
            for (int k = 0; k < 9; ++k) std::swap(a[c][k], a[best][k]);
        for (int r = 0; r < 8; ++r) {
            if (r == c || a[r][c] == 0) continue;
            const double f = a[r][c] / a[c][c];
            for (int k = c; k < 9; ++k) a[r][k] -= f * a[c][k];
        }
    }
    for (int i = 0; i < 8; ++i) h[i] = a[i][8] / a[i][i];
    h[8] = 1;
    return true;
}

// Frame corners (0, 0), (W, 0), (W, H), (0, H) moved inward by d[2i] W in x
// and d[2i + 1] H in y.
poly::Map corner_map(double W, double H, const double d[8]) {
    const poly::Pt from[4] = {{0, 0}, {W, 0}, {W, H}, {0, H}};
    const poly::Pt to[4] = {{d[0] * W, d[1] * H},
                            {W - d[2] * W, d[3] * H},
                            {W - d[4] * W, H - d[5] * H},
                            {d[6] * W, H - d[7] * H}};
    double h[9];
    if (!homography(from, to, h)) throw py::value_error("perspective: the moved corners give no homography");
    return poly::Map::homography(h);
}

}  // namespace

py::object perspective(py::object data, py::object prob, py::object distortion, py::object interpolation,
                       py::object fill, py::object mask_fill, py::object min_area, py::object min_visibility) {
    const double p = real_arg(prob, "prob");
    const Range dist = range_arg(distortion, "distortion");
    if (!(dist.lo > -0.5 && dist.hi < 0.5))
        throw py::value_error("distortion must lie within (-0.5, 0.5), got " + text_of(distortion));
    const int flags = interpolation_arg(interpolation, false);
    poly::Frame frame{0, 0, real_arg(min_area, "min_area"), visibility_arg(min_visibility)};
    Sample s = read_sample(data, mask_fill);
    const cv::Scalar border = fill_arg(fill, s.image.channels());
    if (!acts(p)) return data;

    double d[8];
    for (double& v : d) v = dist.draw();
    frame.W = s.w;
    frame.H = s.h;
    const poly::Map map = corner_map(s.w, s.h, d);
    double pm[9];
    map.pixel_matrix(pm);
    const cv::Matx33d M(pm);

    Outputs o = new_outputs(s, s.h, s.w);
    poly::Output out;
    {
        py::gil_scoped_release nogil;
        cv::Mat raw, raw_dst;
        uint8_t bytes[8];
        const cv::Mat* mask = s.has_mask ? &s.mask.mat : nullptr;
        cv::Mat* mask_dst = s.has_mask ? &o.mask_mat : nullptr;
        const cv::Scalar mask_fill = s.has_mask ? raw_scalar(s.mask) : cv::Scalar();
        if (flags == cv::INTER_NEAREST && raw_pixels(s.image.mat, border, raw, raw_dst, o.image_mat, bytes)) {
            // Nearest-neighbour pixels move as raw elements, like the mask.
            kiro::warp_perspective(M, nullptr, nullptr, flags, border, &raw, &raw_dst,
                                   kiro::raw_scalar(raw.type(), bytes), bytes);
            if (mask) kiro::warp_perspective(M, nullptr, nullptr, flags, border, mask, mask_dst, mask_fill, s.mask.fill);
        } else {
            // Image and mask share one coordinate pass.
            kiro::warp_perspective(M, &s.image.mat, &o.image_mat, flags, border, mask, mask_dst, mask_fill,
                                   mask ? s.mask.fill : nullptr);
        }
        if (s.has_points) poly::transform(s.points, map, frame, out);
    }
    return store(s, o.image, o.mask, &out, py::int_(0));
}

PYBIND11_MODULE(perspective, m) {
    kiro::register_errors();
    m.def("perspective", &perspective, py::arg("data"), py::arg("prob") = 1.0,
          py::arg("distortion") = py::make_tuple(0.05, 0.1), py::arg("interpolation") = "linear",
          py::arg("fill") = 0, py::arg("mask_fill") = 0, py::arg("min_area") = 1.0,
          py::arg("min_visibility") = 0.0,
          R"doc(Perspective warp of an image, or a sample record with its mask and polygons.

Draws random() (the gate) and warps when it is below `prob`. Each frame
corner, (0, 0), (W, 0), (W, H), (0, H) in that order, moves inward by d W in
x, then by d H in y, each d drawn with random.uniform from `distortion`
(8 draws; a number is used as it is). The homography takes the frame's
corners to the moved ones. The image is warped with `interpolation`
("nearest", "linear", "cubic") and `fill` where nothing maps, the mask with
nearest-neighbour and `mask_fill`; polygons are mapped exactly and clipped
to the frame (`min_area`, `min_visibility` as in affine), "labels" follow
their rows and "bbox" is recomputed.

A bare image gives the new image; a record is updated in place and returned.)doc");
    m.def(
        "_matrix",
        [](double W, double H, std::vector<double> d) {
            if (d.size() != 8) throw py::value_error("8 corner fractions expected");
            double pm[9];
            corner_map(W, H, d.data()).pixel_matrix(pm);
            py::array_t<double> out({3, 3});
            std::copy(pm, pm + 9, out.mutable_data());
            return out;
        },
        py::arg("width"), py::arg("height"), py::arg("fractions"),
        "OpenCV's pixel-centre 3 x 3 matrix of perspective's warp for these corner fractions.");
}
