// Copy-paste: objects of a donor record, scaled, maybe mirrored and placed
// in the target's frame, pasted onto the target (hard, feathered or
// seamless); the target's polygons lose what the pasted objects cover.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "common/clone.hpp"
#include "common/draws.hpp"
#include "common/errors.hpp"
#include "common/flip.hpp"
#include "common/geometry.hpp"
#include "common/masks.hpp"

namespace py = pybind11;
using namespace kiro::geometry;
namespace poly = kiro::polygons;

namespace {

enum class Blend { Hard, Gaussian, Seamless };

// The number of objects: None (randint(1, n)), an integer (that many), or
// [a, b] (randint(a, b)); capped at n.
struct Count {
    int kind = 0;  // 0 none, 1 fixed, 2 range
    long long a = 0, b = 0;
};

Count count_arg(py::handle v) {
    Count c;
    if (v.is_none()) return c;
    auto integer = [](py::handle h) {
        if (kiro::is_bool(h) || !kiro::is_integer(h))
            throw py::type_error("objects must be None, an integer or [min, max] integers, got " + type_name(h));
        const long long n = kiro::to_int(h);
        if (n < 0) throw py::value_error("objects must not be negative, got " + text_of(h));
        return n;
    };
    if (kiro::is_seq(v)) {
        if (py::len(v) != 2) throw py::value_error("objects must be None, an integer or [min, max], got " + text_of(v));
        c.kind = 2;
        c.a = integer(v[py::int_(0)]);
        c.b = integer(v[py::int_(1)]);
        if (c.a > c.b) throw py::value_error("objects: min is above max in " + text_of(v));
        return c;
    }
    c.kind = 1;
    c.a = integer(v);
    return c;
}

// One donor object: polygon rows (a label group) or a mask class.
struct Object {
    std::vector<size_t> rows;  // keypoint rows (polygon objects)
    uint8_t cls_raw[8] = {};   // its mask class as donor mask bytes (mask objects)
    long long cls = 1;         // the class it paints into the target's mask
    uint8_t target_raw[8] = {};  // that class as target mask bytes
    py::object label;          // the label its pasted rows carry (None without)
};

// The class a polygon object paints: its label when an integer, the first
// entry of a tuple or list label, else 1.
long long class_of(py::handle label) {
    if (label.is_none()) return 1;
    if (kiro::is_integer(label) && !kiro::is_bool(label)) return kiro::to_int(label);
    if (kiro::is_seq(label) && py::len(label) > 0) {
        py::object first = label[py::int_(0)];
        if (kiro::is_integer(first) && !kiro::is_bool(first)) return kiro::to_int(first);
    }
    return 1;
}

// Mask classes other than bg_mask, ascending.
std::vector<Object> mask_objects(const Sample& d, py::handle bg_mask) {
    std::vector<Object> out;
    py::array values = kiro::distinct_values(d.mask.array);
    uint8_t bg[8] = {};
    kiro::raw_value(bg_mask, d.mask.array.dtype(), "bg_mask", bg);
    const size_t elem = d.mask.elem;
    const auto* v = static_cast<const uint8_t*>(values.data());
    for (py::ssize_t i = 0; i < values.size(); ++i) {
        if (std::memcmp(v + i * elem, bg, elem) == 0) continue;
        Object o;
        std::memcpy(o.cls_raw, v + i * elem, elem);
        py::object value = values[py::int_(i)];
        o.cls = py::int_(value).cast<long long>();
        o.label = py::int_(value);
        out.push_back(o);
    }
    return out;
}

// Group index of every keypoint row: rows with equal labels (Python
// equality) form one object; every row its own without labels.
std::vector<size_t> row_groups(const Sample& t, size_t& groups) {
    std::vector<size_t> g(t.points.polys.size());
    groups = 0;
    if (!kiro::row_labels::present(t.data)) {
        for (size_t r = 0; r < g.size(); ++r) g[r] = r;
        groups = g.size();
        return g;
    }
    py::object labels = t.data["labels"];
    std::vector<py::object> seen;
    for (size_t r = 0; r < g.size(); ++r) {
        py::object lab = labels[py::int_(r)];
        size_t k = 0;
        for (; k < seen.size(); ++k)
            if (kiro::equals(seen[k], lab)) break;
        if (k == seen.size()) seen.push_back(lab);
        g[r] = k;
    }
    groups = seen.size();
    return g;
}

// Donor rows grouped into objects by equal labels, in order of first
// appearance; every row its own object without labels.
std::vector<Object> polygon_objects(const Sample& d) {
    size_t n = 0;
    const std::vector<size_t> group = row_groups(d, n);
    const bool labelled = kiro::row_labels::present(d.data);
    py::object labels = labelled ? py::object(d.data["labels"]) : py::object(py::none());
    std::vector<Object> out(n);
    for (size_t r = 0; r < group.size(); ++r) {
        Object& o = out[group[r]];
        if (o.rows.empty()) {
            o.label = labelled ? py::object(labels[py::int_(r)]) : py::object(py::none());
            o.cls = labelled ? class_of(o.label) : 1;
        }
        o.rows.push_back(r);
    }
    return out;
}

// The labels of the output rows (source >= 0: a target row; -1 - c: chosen
// object c), in the kind of sequence the target's labels are.
py::object output_labels(py::handle old, const std::vector<py::ssize_t>& source, const std::vector<py::object>& pasted) {
    py::list items;
    for (py::ssize_t r : source) items.append(r >= 0 ? py::object(old[py::int_(r)]) : pasted[static_cast<size_t>(-1 - r)]);
    if (py::isinstance<py::array>(old)) {
        py::object np = py::module_::import("numpy");
        try {
            return np.attr("asarray")(items, py::arg("dtype") = old.attr("dtype"));
        } catch (py::error_already_set&) {
            return np.attr("asarray")(items, py::arg("dtype") = "object");
        }
    }
    return kiro::row_labels::rebuild(old, items);
}

// Pixel counts and boxes of mask classes in a resized donor mask placed at
// `at`: `whole` over the mask, `inside` and `box` (target frame) within
// `visible`; one pass for every class.
struct ClassScan {
    const uint8_t* raw;
    long long whole = 0, inside = 0;
    cv::Rect box;
};

void scan_classes(const cv::Mat& m, size_t elem, cv::Point at, const cv::Rect& visible, std::vector<ClassScan>& s) {
    const cv::Rect vis = visible - at;
    std::vector<int> x0(s.size(), INT_MAX), y0(s.size(), INT_MAX), x1(s.size(), -1), y1(s.size(), -1);
    for (int y = 0; y < m.rows; ++y) {
        const uint8_t* row = m.ptr<uint8_t>(y);
        const bool in_y = y >= vis.y && y < vis.y + vis.height;
        for (int x = 0; x < m.cols; ++x) {
            const uint8_t* px = row + x * elem;
            for (size_t k = 0; k < s.size(); ++k) {
                if (elem == 1 ? *px != *s[k].raw : std::memcmp(px, s[k].raw, elem) != 0) continue;
                ++s[k].whole;
                if (in_y && x >= vis.x && x < vis.x + vis.width) {
                    ++s[k].inside;
                    x0[k] = std::min(x0[k], x), x1[k] = std::max(x1[k], x);
                    y0[k] = std::min(y0[k], y), y1[k] = std::max(y1[k], y);
                }
                break;
            }
        }
    }
    for (size_t k = 0; k < s.size(); ++k)
        if (s[k].inside) s[k].box = cv::Rect(x0[k] + at.x, y0[k] + at.y, x1[k] - x0[k] + 1, y1[k] - y0[k] + 1);
}

// Pixels of `src` set where `alpha` is non-zero into dst, feathered by
// alpha / 255 for the Gaussian blend.
void blend_into(const cv::Mat& src, cv::Mat dst, const cv::Mat& alpha, bool feather) {
    const int cn = src.channels();
    for (int y = 0; y < src.rows; ++y) {
        const uint8_t* s = src.ptr<uint8_t>(y);
        const uint8_t* a = alpha.ptr<uint8_t>(y);
        uint8_t* d = dst.ptr<uint8_t>(y);
        for (int x = 0; x < src.cols; ++x) {
            const int w = a[x];
            if (w == 0) continue;
            for (int k = 0; k < cn; ++k) {
                uint8_t& t = d[x * cn + k];
                t = feather && w < 255 ? static_cast<uint8_t>((s[x * cn + k] * w + t * (255 - w) + 127) / 255)
                                       : s[x * cn + k];
            }
        }
    }
}

}  // namespace

py::object copy_paste(py::object data, py::object donor, py::object prob, py::object objects, py::object scale,
                      py::object flip, py::object blend, py::object sigma, py::object min_visibility,
                      py::object min_area, py::object bg_mask) {
    // Everything is checked before the gate.
    const double p = real_arg(prob, "prob");
    const Count count = count_arg(objects);
    const Range sc = range_arg(scale, "scale");
    if (!(sc.lo > 0)) throw py::value_error("scale must be above 0, got " + text_of(scale));
    const double flip_p = real_arg(flip, "flip");
    const std::string how = choice_arg(blend, "blend", {"hard", "gaussian", "seamless"});
    const Blend mode = how == "hard" ? Blend::Hard : how == "gaussian" ? Blend::Gaussian : Blend::Seamless;
    const double sig = real_arg(sigma, "sigma");
    if (mode == Blend::Gaussian && !(sig > 0)) throw py::value_error("sigma must be above 0, got " + text_of(sigma));
    const double min_vis = visibility_arg(min_visibility);
    const double min_a = real_arg(min_area, "min_area");
    real_arg(bg_mask, "bg_mask");
    if (!PyDict_Check(data.ptr())) throw py::type_error("data must be a sample record (a dict with \"image\")");
    if (!PyDict_Check(donor.ptr())) throw py::type_error("donor must be a sample record (a dict with \"image\")");
    Sample t = read_sample(data, bg_mask, "bg_mask");
    Sample d = read_sample(donor, bg_mask, "bg_mask");
    if (t.image.mat.depth() != CV_8U || d.image.mat.depth() != CV_8U)
        throw py::type_error("copy_paste needs 8-bit images, got " + std::string(py::str(t.image.array.dtype())) +
                             " and a donor of " + std::string(py::str(d.image.array.dtype())));
    if (!kiro::geometry::convertible(d.image.channels(), t.image.channels()))
        throw py::value_error("donor image (" + std::to_string(d.image.channels()) +
                              " channels) cannot be pasted onto an image of " +
                              std::to_string(t.image.channels()) + " channels");
    if (mode == Blend::Seamless && t.image.channels() != 3)
        throw py::value_error("blend \"seamless\" needs 3-channel images, got " + std::to_string(t.image.channels()));
    std::vector<Object> objs = d.has_points && !d.points.polys.empty() ? polygon_objects(d)
                               : d.has_mask                            ? mask_objects(d, bg_mask)
                                                                       : std::vector<Object>{};
    const bool polygon_donor = d.has_points && !d.points.polys.empty();
    if (t.has_mask)
        for (Object& o : objs) kiro::raw_value(py::int_(o.cls), t.mask.array.dtype(), "donor class", o.target_raw);
    size_t target_groups = 0;
    const std::vector<size_t> group = t.has_points ? row_groups(t, target_groups) : std::vector<size_t>{};
    if (!acts(p) || objs.empty()) return data;

    // Draws: scale, flip, offset (x, y), the number of objects, which ones.
    const double s = sc.draw();
    const bool mirrored = kiro::draw::random() < flip_p;
    const int sw = rounded_size(d.w * s), sh = rounded_size(d.h * s);
    const double ux = kiro::draw::uniform(-static_cast<double>(sw), t.w);
    const double uy = kiro::draw::uniform(-static_cast<double>(sh), t.h);
    const long long n = static_cast<long long>(objs.size());
    long long k = count.kind == 0 ? kiro::draw::randint(1, n) : count.kind == 1 ? count.a
                                                                                : kiro::draw::randint(count.a, count.b);
    k = std::min(k, n);
    if (k <= 0) return data;
    py::list chosen_list = kiro::draw::sample(py::module_::import("builtins").attr("range")(n), py::int_(k));
    std::vector<size_t> chosen;
    for (py::handle h : chosen_list) chosen.push_back(h.cast<size_t>());
    std::sort(chosen.begin(), chosen.end());

    const int ix = static_cast<int>(std::floor(ux)), iy = static_cast<int>(std::floor(uy));
    const double fx = static_cast<double>(sw) / d.w, fy = static_cast<double>(sh) / d.h;
    const poly::Map map = mirrored ? poly::Map::affine(-fx, 0, sw + ix, 0, fy, iy)
                                   : poly::Map::affine(fx, 0, ix, 0, fy, iy);
    const cv::Rect frame(0, 0, t.w, t.h);
    const cv::Rect placed(ix, iy, sw, sh);
    const cv::Rect visible = placed & frame;
    const bool target_polys = t.has_points;
    const bool labelled = kiro::row_labels::present(t.data);

    // The donor at its new size and side (image, and mask for mask objects).
    cv::Mat dimg(sh, sw, t.image.mat.type()), dmask;
    std::vector<std::vector<poly::Poly>> pieces(chosen.size());  // per chosen object, target frame
    std::vector<cv::Mat> alphas(chosen.size());                   // per chosen object, over its box
    std::vector<cv::Rect> boxes(chosen.size());                   // those boxes, in the target frame
    std::vector<bool> pasted(chosen.size(), false);
    cv::Mat image_out, mask_out;
    py::array image_arr = new_image(t, t.h, t.w);
    image_out = image_mat(image_arr, t);
    py::array mask_arr;
    if (t.has_mask) {
        mask_arr = new_mask(t, t.h, t.w);
        mask_out = mask_mat(mask_arr, t);
    }
    std::vector<poly::Poly> kept_rows;     // target rows left, in order
    std::vector<py::ssize_t> kept_source;  // their source rows
    const poly::Grid grid(std::max(t.w, t.h) * 2.0 + 16.0);
    {
        py::gil_scoped_release nogil;
        // A grey, BGR or BGRA donor in the target's channels.
        const cv::Mat donor_pixels = kiro::geometry::in_channels(d.image.mat, t.image.channels());
        resize_into(donor_pixels, dimg, cv::INTER_LINEAR);
        if (mirrored) {
            cv::Mat m(dimg.size(), dimg.type());
            kiro::flip(dimg, m, 1);
            dimg = m;
        }
        if (!polygon_donor) {
            dmask.create(sh, sw, d.mask.type);
            resize_into(d.mask.mat, dmask, cv::INTER_NEAREST);
            if (mirrored) {
                cv::Mat m(dmask.size(), dmask.type());
                kiro::flip(dmask, m, 1);
                dmask = m;
            }
        }
        t.image.mat.copyTo(image_out);
        if (t.has_mask) t.mask.mat.copyTo(mask_out);

        // Each chosen object's raster (over its own box, 2 px of margin, in
        // the visible part of the donor) and polygons in the target frame; an
        // object with less than min_visibility of itself inside is left out.
        auto grown = [&](cv::Rect r, int m) {
            return cv::Rect(r.x - m, r.y - m, r.width + 2 * m, r.height + 2 * m) & visible;
        };
        std::vector<ClassScan> scans;
        if (!polygon_donor && !visible.empty()) {
            for (size_t c = 0; c < chosen.size(); ++c) scans.push_back(ClassScan{objs[chosen[c]].cls_raw, 0, 0, cv::Rect()});
            scan_classes(dmask, d.mask.elem, placed.tl(), visible, scans);
        }
        for (size_t c = 0; c < chosen.size() && !visible.empty(); ++c) {
            const Object& o = objs[chosen[c]];
            if (polygon_donor) {
                std::vector<poly::Poly> rows;
                for (size_t r : o.rows) rows.push_back(d.points.polys[r]);
                poly::Output placed_out;
                poly::transform(rows, map, {double(t.w), double(t.h), min_a, 0.0}, placed_out);
                double whole = 0, inside = 0;
                for (const poly::Poly& q : rows) {
                    poly::Poly m(q.size());
                    for (size_t v = 0; v < q.size(); ++v) m[v] = map.apply(q[v]);
                    whole += std::fabs(poly::signed_area(m));
                }
                for (const poly::Poly& q : placed_out.pieces) inside += std::fabs(poly::signed_area(q));
                if (placed_out.pieces.empty() || inside < min_vis * whole) continue;
                double x0 = 1e300, y0 = 1e300, x1 = -1e300, y1 = -1e300;
                for (const poly::Poly& q : placed_out.pieces)
                    for (const poly::Pt& v : q)
                        x0 = std::min(x0, v.x), y0 = std::min(y0, v.y), x1 = std::max(x1, v.x), y1 = std::max(y1, v.y);
                const cv::Rect tight(static_cast<int>(std::floor(x0)), static_cast<int>(std::floor(y0)),
                                     static_cast<int>(std::ceil(x1) - std::floor(x0)),
                                     static_cast<int>(std::ceil(y1) - std::floor(y0)));
                boxes[c] = grown(tight, 2);
                if (boxes[c].empty()) continue;
                alphas[c] = cv::Mat::zeros(boxes[c].size(), CV_8UC1);
                poly::rasterize(placed_out.pieces, alphas[c], boxes[c].tl(), 255);
                pieces[c] = placed_out.pieces;
            } else {
                const ClassScan& sc = scans[c];
                if (sc.inside == 0 || sc.inside < min_vis * sc.whole) continue;
                boxes[c] = grown(sc.box, 2);
                alphas[c] = cv::Mat::zeros(boxes[c].size(), CV_8UC1);
                const cv::Mat region = dmask(boxes[c] - placed.tl());
                const size_t elem = d.mask.elem;
                for (int y = 0; y < region.rows; ++y) {
                    const uint8_t* row = region.ptr<uint8_t>(y);
                    uint8_t* a = alphas[c].ptr<uint8_t>(y);
                    for (int x = 0; x < region.cols; ++x)
                        if (std::memcmp(row + x * elem, o.cls_raw, elem) == 0) a[x] = 255;
                }
                if (target_polys) {
                    std::vector<poly::Poly> traced;
                    poly::trace(alphas[c], boxes[c].tl(), traced);
                    for (poly::Poly& q : traced)
                        if (std::fabs(poly::signed_area(q)) >= min_a) pieces[c].push_back(std::move(q));
                }
            }
            pasted[c] = true;
        }

        // Pixels. Hard and Gaussian: the union of the rasters (blurred for
        // Gaussian) over the union of the boxes; seamless: each object
        // cloned in its own box, in order, so pixels away from the objects
        // keep the target's colours.
        cv::Rect all_box;
        for (size_t c = 0; c < chosen.size(); ++c)
            if (pasted[c]) all_box = all_box.empty() ? boxes[c] : (all_box | boxes[c]);
        if (!all_box.empty()) {
            if (mode == Blend::Seamless) {
                for (size_t c = 0; c < chosen.size(); ++c) {
                    if (!pasted[c]) continue;
                    cv::Mat grey = alphas[c].clone();
                    grey.row(0).setTo(0), grey.row(grey.rows - 1).setTo(0);
                    grey.col(0).setTo(0), grey.col(grey.cols - 1).setTo(0);
                    const cv::Rect box = cv::boundingRect(grey);
                    if (box.width < 3 || box.height < 3) continue;
                    // The clone centres the mask's box (its one-pixel frame
                    // cleared, as here) on the point: this one keeps it in place.
                    const cv::Point centre(boxes[c].x + box.x + box.width / 2, boxes[c].y + box.y + box.height / 2);
                    kiro::clone::seamless(dimg(boxes[c] - placed.tl()), image_out, alphas[c], centre, image_out,
                                          cv::NORMAL_CLONE);
                }
            } else {
                const int m = mode == Blend::Gaussian ? static_cast<int>(std::ceil(3 * sig)) + 1 : 0;
                const cv::Rect area = grown(all_box, m);
                cv::Mat a = cv::Mat::zeros(area.size(), CV_8UC1);
                for (size_t c = 0; c < chosen.size(); ++c)
                    if (pasted[c]) {
                        cv::Mat dst = a(boxes[c] - area.tl());
                        cv::bitwise_or(dst, alphas[c], dst);
                    }
                if (mode == Blend::Gaussian) cv::GaussianBlur(a, a, cv::Size(0, 0), sig);
                blend_into(dimg(area - placed.tl()), image_out(area), a, mode == Blend::Gaussian);
            }
            if (t.has_mask)
                for (size_t c = 0; c < chosen.size(); ++c)
                    if (pasted[c]) {
                        cv::Mat roi = mask_out(boxes[c]);
                        const uint8_t* raw = objs[chosen[c]].target_raw;
                        for (int y = 0; y < roi.rows; ++y) {
                            uint8_t* row = roi.ptr<uint8_t>(y);
                            const uint8_t* av = alphas[c].ptr<uint8_t>(y);
                            for (int x = 0; x < roi.cols; ++x)
                                if (av[x]) std::memcpy(row + x * t.mask.elem, raw, t.mask.elem);
                        }
                    }
        }

        // Polygons: every target row loses what the pasted objects cover,
        // every pasted object what the ones pasted after it cover.
        if (target_polys) {
            ClipperLib::Paths cut;
            double cx0 = 1e300, cy0 = 1e300, cx1 = -1e300, cy1 = -1e300;
            for (size_t c = 0; c < chosen.size(); ++c)
                for (const poly::Poly& q : pieces[c]) {
                    cut.push_back(grid.path(q));
                    for (const poly::Pt& v : q)
                        cx0 = std::min(cx0, v.x), cy0 = std::min(cy0, v.y), cx1 = std::max(cx1, v.x), cy1 = std::max(cy1, v.y);
                }
            std::vector<double> before(target_groups, 0.0), after(target_groups, 0.0);
            std::vector<poly::Poly> parts;
            for (size_t r = 0; r < t.points.polys.size(); ++r) {
                const poly::Poly& P = t.points.polys[r];
                const double area = std::fabs(poly::signed_area(P));
                before[group[r]] += area;
                bool apart = cut.empty();
                if (!apart) {
                    double x0 = 1e300, y0 = 1e300, x1 = -1e300, y1 = -1e300;
                    for (const poly::Pt& v : P)
                        x0 = std::min(x0, v.x), y0 = std::min(y0, v.y), x1 = std::max(x1, v.x), y1 = std::max(y1, v.y);
                    apart = x1 <= cx0 || x0 >= cx1 || y1 <= cy0 || y0 >= cy1 || P.size() < 3;
                }
                if (apart) {
                    kept_rows.push_back(P);
                    kept_source.push_back(static_cast<py::ssize_t>(r));
                    after[group[r]] += area;
                    continue;
                }
                parts.clear();
                poly::subtract(P, cut, grid, parts);
                for (poly::Poly& q : parts) {
                    const double a = std::fabs(poly::signed_area(q));
                    if (a < min_a) continue;
                    after[group[r]] += a;
                    kept_rows.push_back(std::move(q));
                    kept_source.push_back(static_cast<py::ssize_t>(r));
                }
            }
            // Objects left with less than min_visibility of their area go whole.
            size_t w = 0;
            for (size_t i = 0; i < kept_rows.size(); ++i) {
                const size_t gi = group[static_cast<size_t>(kept_source[i])];
                if (before[gi] > 0 && after[gi] < min_vis * before[gi]) continue;
                if (w != i) kept_rows[w] = std::move(kept_rows[i]);
                kept_source[w++] = kept_source[i];
            }
            kept_rows.resize(w);
            kept_source.resize(w);
            for (size_t c = 0; c < chosen.size(); ++c) {
                if (!pasted[c]) continue;
                ClipperLib::Paths later;
                for (size_t c2 = c + 1; c2 < chosen.size(); ++c2)
                    for (const poly::Poly& q : pieces[c2]) later.push_back(grid.path(q));
                for (const poly::Poly& q : pieces[c]) {
                    parts.clear();
                    if (later.empty()) parts.push_back(q);
                    else poly::subtract(q, later, grid, parts);
                    for (poly::Poly& part : parts) {
                        if (std::fabs(poly::signed_area(part)) < min_a) continue;
                        kept_rows.push_back(std::move(part));
                        kept_source.push_back(-1 - static_cast<py::ssize_t>(c));
                    }
                }
            }
        }
    }

    data["image"] = image_arr;
    if (t.has_mask) data["mask"] = mask_arr;
    if (target_polys) {
        poly::Output out;
        out.pieces = std::move(kept_rows);
        out.source = kept_source;
        data["keypoints"] = poly::pack(out, t.points);
        if (labelled) {
            std::vector<py::object> pasted_labels;
            for (size_t c = 0; c < chosen.size(); ++c) pasted_labels.push_back(objs[chosen[c]].label);
            data["labels"] = output_labels(data["labels"], kept_source, pasted_labels);
        }
    }
    if (t.has_bbox) store_boxes(data, bg_mask);
    return data;
}

PYBIND11_MODULE(copy_paste, m) {
    kiro::register_errors();
    m.def("copy_paste", &copy_paste, py::arg("data"), py::arg("donor"), py::arg("prob") = 0.5,
          py::arg("objects") = py::none(), py::arg("scale") = py::make_tuple(0.5, 1.5), py::arg("flip") = 0.5,
          py::arg("blend") = "hard", py::arg("sigma") = 1.0, py::arg("min_visibility") = 0.25,
          py::arg("min_area") = 1.0, py::arg("bg_mask") = 0,
          R"doc(Paste objects of the record `donor` onto the record `data`.

The donor's objects are its polygon rows grouped by equal "labels" entries
(each row its own object without "labels"), or, for a donor with a mask and
no polygons, its mask classes other than `bg_mask`. Draws, in this order:
random() (the gate; acts when below `prob`); the scale (random.uniform over
`scale`, or the number given); the mirror (random() < `flip`); the offset
x = uniform(-new width, W), then y = uniform(-new height, H), which keeps at
least part of the donor in the target's frame (floored to whole pixels);
the number of objects (None: randint(1, n); an integer: that many; [a, b]:
randint(a, b); capped at n); which ones (random.sample). No objects, or
none chosen, leave `data` unchanged.

The donor is resized (bilinear; mask nearest-neighbour), mirrored and
placed; its polygons go through the same transform and are clipped exactly
to the frame. An object with less than `min_visibility` of its area inside
is not pasted. The chosen objects' pixels replace the target's under their
raster ("hard"), blend through that raster blurred with `sigma`
("gaussian"; labels stay hard), or go through kiro's seamless clone with the
raster as its mask ("seamless", 3-channel images). The target's mask takes
each pasted object's class (a mask object's class; a polygon object's
integer label, or the first entry of a tuple label, else 1); each target
polygon loses what the pasted objects cover (pieces smaller than `min_area`
dropped; a target object left with less than `min_visibility` of its area
dropped with all its rows), and the pasted objects' polygons (traced from
the raster for mask objects) are appended when the target has keypoints;
when it also has "labels", they carry the donor's labels (None where the
donor has none). With "seamless", each object is cloned in its own box, in
order. "bbox" is recomputed. Records of different sizes work; images are
8-bit, and a grey, BGR or BGRA donor is converted to the target's channels.
`data` is updated in place and returned.)doc");
}
