// Mosaic: four records on one canvas split at a drawn centre, each scaled
// (ratio kept) to cover its quadrant and cut to it at the corner that meets
// the centre; labels clipped exactly to their quadrant.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "common/errors.hpp"
#include "common/geometry.hpp"

namespace py = pybind11;
using namespace kiro::geometry;
namespace poly = kiro::polygons;

namespace {

// Where record i lands: its quadrant of the canvas, its resized size and
// the resized image's top-left corner on the canvas.
struct Tile {
    cv::Rect quad;
    int nw = 0, nh = 0, ox = 0, oy = 0;
};

Tile tile_of(int i, int cx, int cy, int w, int h, int W, int H) {
    Tile t;
    const int x0 = i % 2 == 0 ? 0 : cx, x1 = i % 2 == 0 ? cx : w;
    const int y0 = i < 2 ? 0 : cy, y1 = i < 2 ? cy : h;
    t.quad = cv::Rect(x0, y0, x1 - x0, y1 - y0);
    if (t.quad.empty()) return t;
    const double s = std::max(static_cast<double>(t.quad.width) / W, static_cast<double>(t.quad.height) / H);
    t.nw = std::max(t.quad.width, rounded_size(W * s));
    t.nh = std::max(t.quad.height, rounded_size(H * s));
    // The corner of the record that meets the centre sits on it.
    t.ox = i % 2 == 0 ? cx - t.nw : cx;
    t.oy = i < 2 ? cy - t.nh : cy;
    return t;
}

}  // namespace

py::object mosaic(py::object records, py::object size, py::object prob, py::object center, py::object fill,
                  py::object mask_fill, py::object min_area, py::object min_visibility) {
    if (!kiro::is_seq(records) || py::len(records) != 4)
        throw py::value_error("records must be a list of 4 sample records, got " +
                              (kiro::is_seq(records) ? std::to_string(py::len(records)) + " entries" : type_name(records)));
    const Size2 out = size_arg(size);
    const double p = real_arg(prob, "prob");
    const Range c = range_arg(center, "center");
    if (!(c.lo >= 0 && c.hi <= 1)) throw py::value_error("center must lie within [0, 1], got " + text_of(center));
    const double min_a = real_arg(min_area, "min_area"), min_vis = visibility_arg(min_visibility);
    std::vector<Sample> s;
    for (int i = 0; i < 4; ++i) {
        py::object r = records[py::int_(i)];
        if (!PyDict_Check(r.ptr())) throw py::type_error("records[" + std::to_string(i) + "] must be a sample record (a dict)");
        s.push_back(read_sample(r, mask_fill));
    }
    for (int i = 1; i < 4; ++i) {
        const bool same = s[i].image.mat.type() == s[0].image.mat.type();
        const bool mixed = s[i].image.mat.depth() == CV_8U && s[0].image.mat.depth() == CV_8U &&
                           convertible(s[i].image.channels(), s[0].image.channels());
        if (!same && !mixed)
            throw py::value_error("records[" + std::to_string(i) + "]: image type or channels cannot be put with records[0]'s");
        if (s[i].has_mask != s[0].has_mask)
            throw py::value_error("records[" + std::to_string(i) + "]: either every record has a mask or none");
        if (s[i].has_mask && s[i].mask.array.dtype().not_equal(s[0].mask.array.dtype()))
            throw py::value_error("records[" + std::to_string(i) + "]: mask type differs from records[0]'s");
    }
    bool any_points = false, any_labels = false;
    for (const Sample& r : s) {
        any_points = any_points || r.has_points;
        any_labels = any_labels || kiro::row_labels::present(r.data);
    }
    if (any_labels)
        for (int i = 0; i < 4; ++i)
            if (s[i].has_points && !s[i].points.polys.empty() && !kiro::row_labels::present(s[i].data))
                throw py::value_error("records[" + std::to_string(i) + "] has keypoints without \"labels\" while another record has labels");
    const cv::Scalar border = fill_arg(fill, s[0].image.channels());
    if (!acts(p)) return records[py::int_(0)];

    const double fx = c.draw(), fy = c.draw();
    const int cx = std::clamp(static_cast<int>(std::floor(fx * out.w + 0.5)), 0, out.w);
    const int cy = std::clamp(static_cast<int>(std::floor(fy * out.h + 0.5)), 0, out.h);

    Outputs o = new_outputs(s[0], out.h, out.w);
    std::vector<poly::Output> pieces(4);
    Tile tiles[4];
    for (int i = 0; i < 4; ++i) tiles[i] = tile_of(i, cx, cy, out.w, out.h, s[i].w, s[i].h);
    {
        py::gil_scoped_release nogil;
        bool covered = true;
        for (const Tile& t : tiles) covered = covered && (t.quad.empty() || t.nw > 0);
        if (!covered) {
            o.image_mat.setTo(border);
            if (s[0].has_mask) fill_raw(o.mask_mat, s[0].mask.fill, s[0].mask.elem);
        }
        for (int i = 0; i < 4; ++i) {
            const Tile& t = tiles[i];
            if (t.quad.empty()) continue;
            const cv::Rect from = t.quad - cv::Point(t.ox, t.oy);  // inside the resized record
            cv::Mat tmp(t.nh, t.nw, s[0].image.mat.type());
            resize_into(in_channels(s[i].image.mat, s[0].image.channels()), tmp, cv::INTER_LINEAR);
            tmp(from).copyTo(o.image_mat(t.quad));
            if (s[i].has_mask) {
                cv::Mat m(t.nh, t.nw, s[i].mask.type);
                resize_into(s[i].mask.mat, m, cv::INTER_NEAREST);
                m(from).copyTo(o.mask_mat(t.quad));
            }
            if (s[i].has_points) {
                // Mapped into the quadrant's own frame, clipped there, moved back.
                const poly::Map map = poly::Map::affine(static_cast<double>(t.nw) / s[i].w, 0, t.ox - t.quad.x, 0,
                                                        static_cast<double>(t.nh) / s[i].h, t.oy - t.quad.y);
                poly::transform(s[i].points.polys, map,
                                {double(t.quad.width), double(t.quad.height), min_a, min_vis}, pieces[i]);
                for (poly::Poly& q : pieces[i].pieces)
                    for (poly::Pt& v : q) v.x += t.quad.x, v.y += t.quad.y;
            }
        }
    }

    py::object first = records[py::int_(0)];
    Sample& target = s[0];
    first["image"] = o.image;
    if (target.has_mask) first["mask"] = o.mask;
    if (any_points) {
        // Rows in record order, with the keypoint type of the records'
        // common type (as NumPy promotes them).
        poly::Output all;
        py::list labels;
        std::vector<py::object> kinds;
        for (int i = 0; i < 4; ++i) {
            if (!s[i].has_points) continue;
            kinds.push_back(s[i].points.array.dtype());
            py::object lab = kiro::row_labels::present(s[i].data) ? py::object(s[i].data["labels"]) : py::object(py::none());
            for (size_t k = 0; k < pieces[i].pieces.size(); ++k) {
                all.pieces.push_back(std::move(pieces[i].pieces[k]));
                all.source.push_back(pieces[i].source[k]);
                if (any_labels) labels.append(lab[py::int_(pieces[i].source[k])]);
            }
        }
        py::object np = py::module_::import("numpy");
        py::tuple types(kinds.size());
        for (size_t k = 0; k < kinds.size(); ++k) types[k] = kinds[k];
        poly::Input like;
        like.array = py::array(np.attr("result_type")(*types).cast<py::dtype>(), std::vector<py::ssize_t>{0});
        first["keypoints"] = poly::pack(all, like);
        if (any_labels) {
            py::object old = kiro::row_labels::present(first) ? py::object(first["labels"]) : py::object(py::list());
            if (py::isinstance<py::array>(old)) {
                try {
                    first["labels"] = np.attr("asarray")(labels, py::arg("dtype") = old.attr("dtype"));
                } catch (py::error_already_set&) {
                    first["labels"] = np.attr("asarray")(labels, py::arg("dtype") = "object");
                }
            } else {
                first["labels"] = kiro::row_labels::rebuild(old, labels);
            }
        }
    }
    if (target.has_bbox) store_boxes(first, py::int_(0));
    return first;
}

PYBIND11_MODULE(mosaic, m) {
    kiro::register_errors();
    m.def("mosaic", &mosaic, py::arg("records"), py::arg("size"), py::arg("prob") = 1.0,
          py::arg("center") = py::make_tuple(0.25, 0.75), py::arg("fill") = 0, py::arg("mask_fill") = 0,
          py::arg("min_area") = 1.0, py::arg("min_visibility") = 0.0,
          R"doc(Four sample records on one canvas of `size` (h, w), or one integer for a square.

Draws random() (the gate) and acts when it is below `prob`; then the centre:
cx = round(u w) with u = random.uniform over `center` (a number is used as
it is), then cy likewise. The canvas splits at (cx, cy) into four quadrants,
records[0] top-left, [1] top-right, [2] bottom-left, [3] bottom-right. Each
record is resized (bilinear; its mask nearest-neighbour), keeping its ratio,
to cover its quadrant (sizes rounded to the nearest integer) and cut to it at
the corner that meets the centre. Polygons are scaled by the record's own
factors and clipped exactly to their quadrant (`min_area`, `min_visibility`
as in affine), then concatenated in record order with their "labels".

Records must agree in image type (8-bit grey, BGR and BGRA records mix:
they take records[0]'s channels), and all or none carry a mask.
records[0] is updated in place to be the mosaic and returned.)doc");
}
