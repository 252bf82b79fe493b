// Exact polygon geometry for the geometric operations: keypoint rows read as
// polygons (trailing repeats of the last vertex are padding), mapped through
// an affine or projective transform of continuous coordinates in double
// precision, intersected with the output frame [0, W] x [0, H] (Clipper on a
// fine integer grid; polygons inside the frame keep their exact vertices),
// filtered by area and visibility, and packed back into padded rows.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <clipper.hpp>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/arrays.hpp"

namespace kiro {
namespace polygons {
namespace py = pybind11;

struct Pt {
    double x, y;
};
using Poly = std::vector<Pt>;

// x' = (m0 x + m1 y + m2) / w, y' = (m3 x + m4 y + m5) / w, w = m6 x + m7 y + m8
// (w = 1 for an affine map), in continuous coordinates.
struct Map {
    double m[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    bool projective = false;

    static Map affine(double a, double b, double c, double d, double e, double f) {
        Map t;
        const double v[9] = {a, b, c, d, e, f, 0, 0, 1};
        std::copy(v, v + 9, t.m);
        return t;
    }
    static Map homography(const double h[9]) {
        Map t;
        std::copy(h, h + 9, t.m);
        t.projective = true;
        return t;
    }
    double w(const Pt& p) const { return projective ? m[6] * p.x + m[7] * p.y + m[8] : 1.0; }
    Pt apply(const Pt& p) const {
        const double x = m[0] * p.x + m[1] * p.y + m[2], y = m[3] * p.x + m[4] * p.y + m[5];
        if (!projective) return {x, y};
        const double s = 1.0 / w(p);
        return {x * s, y * s};
    }
    // True when the map turns clockwise polygons anticlockwise (where w > 0).
    bool mirrors() const {
        const double det2 = m[0] * m[4] - m[1] * m[3];
        if (!projective) return det2 < 0;
        const double det = m[0] * (m[4] * m[8] - m[5] * m[7]) - m[1] * (m[3] * m[8] - m[5] * m[6]) +
                           m[2] * (m[3] * m[7] - m[4] * m[6]);
        return det < 0;
    }
    // OpenCV's pixel-centre matrix of the same map: q' = M (q + 0.5) - 0.5.
    void pixel_matrix(double out[9]) const {
        // T(-0.5) * m * T(0.5), T(t) the translation by (t, t).
        double a[9];
        for (int r = 0; r < 3; ++r) {
            a[3 * r + 0] = m[3 * r + 0];
            a[3 * r + 1] = m[3 * r + 1];
            a[3 * r + 2] = 0.5 * m[3 * r + 0] + 0.5 * m[3 * r + 1] + m[3 * r + 2];
        }
        for (int c = 0; c < 3; ++c) {
            out[0 + c] = a[0 + c] - 0.5 * a[6 + c];
            out[3 + c] = a[3 + c] - 0.5 * a[6 + c];
            out[6 + c] = a[6 + c];
        }
    }
};

inline double signed_area(const Poly& p) {
    const size_t n = p.size();
    if (n < 3) return 0.0;
    double s = 0.0;
    for (size_t i = 0, j = n - 1; i < n; j = i++) s += (p[j].x - p[i].x) * (p[j].y + p[i].y);
    return 0.5 * s;
}

// The part of `p` where a x + b y + c >= 0 (one Sutherland-Hodgman pass; exact
// for the intersection's area, concave pieces may be joined along the line).
inline Poly clip_half_plane(const Poly& p, double a, double b, double c) {
    Poly out;
    const size_t n = p.size();
    if (n == 0) return out;
    out.reserve(n + 4);
    for (size_t i = 0; i < n; ++i) {
        const Pt& s = p[i];
        const Pt& e = p[(i + 1) % n];
        const double ds = a * s.x + b * s.y + c, de = a * e.x + b * e.y + c;
        if (ds >= 0) out.push_back(s);
        if ((ds >= 0) != (de >= 0)) {
            const double t = ds / (ds - de);
            out.push_back({s.x + t * (e.x - s.x), s.y + t * (e.y - s.y)});
        }
    }
    return out;
}

// Keypoint rows as polygons.
struct Input {
    py::array array;  // dense, native order
    bool is_float = false;
    py::ssize_t rows = 0;
    std::vector<Poly> polys;
};

inline Input read(py::handle obj) {
    Input in;
    py::array a = as_ndarray(obj, "keypoints");
    const char kind = a.dtype().kind();
    if (kind != 'u' && kind != 'i' && kind != 'f')
        throw py::type_error("keypoints must hold integers or reals, got " + std::string(py::str(a.dtype())));
    in.is_float = kind == 'f';
    in.array = dense_native(a);
    if (a.size() == 0) return in;
    if (a.ndim() != 2)
        throw py::value_error("keypoints must have 2 axes (polygons x coordinates), got " + std::to_string(a.ndim()));
    const py::ssize_t cols = a.shape(1);
    if (cols % 2 != 0)
        throw py::value_error("keypoints must have an even number of columns (x, y pairs), got " +
                              std::to_string(cols));
    in.rows = a.shape(0);
    std::vector<double> flat(static_cast<size_t>(a.size()));
    dispatch_dtype(in.array.dtype(), "keypoints", [&](auto tag) {
        using T = decltype(tag);
        const T* p = static_cast<const T*>(in.array.data());
        for (size_t i = 0; i < flat.size(); ++i) flat[i] = static_cast<double>(p[i]);
    });
    const size_t n = static_cast<size_t>(cols / 2);
    in.polys.resize(static_cast<size_t>(in.rows));
    for (py::ssize_t r = 0; r < in.rows; ++r) {
        const double* row = flat.data() + static_cast<size_t>(r) * 2 * n;
        size_t len = n;
        while (len > 1 && row[2 * len - 2] == row[2 * len - 4] && row[2 * len - 1] == row[2 * len - 3]) --len;
        Poly& p = in.polys[static_cast<size_t>(r)];
        p.resize(len);
        for (size_t k = 0; k < len; ++k) {
            p[k] = {row[2 * k], row[2 * k + 1]};
            if (!std::isfinite(p[k].x) || !std::isfinite(p[k].y))
                throw py::value_error("keypoints row " + std::to_string(r) + " holds a non-finite coordinate");
        }
    }
    return in;
}

// Output polygons and the keypoint row each came from.
struct Output {
    std::vector<Poly> pieces;
    std::vector<py::ssize_t> source;
};

struct Frame {
    double W, H;
    double min_area = 1.0, min_visibility = 0.0;
};

namespace detail {

// Grid step of the clip: the largest power of two (up to 2^20) that keeps the
// frame and its margin inside Clipper's fast integer range.
inline double grid_scale(double extent) {
    double s = 1.0;
    while (s < 1048576.0 && extent * s * 2.0 < 1073741823.0) s *= 2.0;
    return s;
}

// The part of `p` on one side of an axis line (x = v for axis 0, y = v for
// axis 1), `keep_above` keeping coordinates >= v. Crossings land exactly on
// the line.
inline void clip_axis(const Poly& p, int axis, double v, bool keep_above, Poly& out) {
    out.clear();
    const size_t n = p.size();
    auto c = [axis](const Pt& q) { return axis == 0 ? q.x : q.y; };
    auto in = [&](const Pt& q) { return keep_above ? c(q) >= v : c(q) <= v; };
    for (size_t i = 0; i < n; ++i) {
        const Pt& s = p[i];
        const Pt& e = p[(i + 1) % n];
        const bool si = in(s), ei = in(e);
        if (si) out.push_back(s);
        if (si != ei) {
            const double t = (v - c(s)) / (c(e) - c(s));
            out.push_back(axis == 0 ? Pt{v, s.y + t * (e.y - s.y)} : Pt{s.x + t * (e.x - s.x), v});
        }
    }
}

inline void clip_box(const Poly& p, double x0, double y0, double x1, double y1, Poly& out) {
    Poly a;
    clip_axis(p, 0, x0, true, a);
    clip_axis(a, 0, x1, false, out);
    clip_axis(out, 1, y0, true, a);
    clip_axis(a, 1, y1, false, out);
}

inline bool within(const Poly& p, double x0, double y0, double x1, double y1) {
    for (const Pt& q : p)
        if (!(q.x >= x0 && q.x <= x1 && q.y >= y0 && q.y <= y1)) return false;
    return true;
}

// Drops repeated vertices and vertices in the middle of a straight run along
// a frame side; true when some side then still holds two or more edges, the
// only way a clipped polygon can come out as pieces joined along the frame.
inline bool tidy_on_frame(Poly& p, double W, double H) {
    auto side = [&](const Pt& a, const Pt& b) {
        if (a.x == b.x && (a.x == 0 || a.x == W)) return a.x == 0 ? 0 : 1;
        if (a.y == b.y && (a.y == 0 || a.y == H)) return a.y == 0 ? 2 : 3;
        return -1;
    };
    Poly q;
    q.reserve(p.size());
    for (const Pt& v : p)
        if (q.empty() || v.x != q.back().x || v.y != q.back().y) q.push_back(v);
    while (q.size() > 1 && q.front().x == q.back().x && q.front().y == q.back().y) q.pop_back();
    bool changed = true;
    while (changed && q.size() >= 3) {
        changed = false;
        for (size_t i = 0; i < q.size() && q.size() >= 3; ++i) {
            const Pt& a = q[(i + q.size() - 1) % q.size()];
            const Pt& b = q[i];
            const Pt& c = q[(i + 1) % q.size()];
            const int s1 = side(a, b);
            if (s1 >= 0 && s1 == side(b, c) && (s1 < 2 ? (b.y - a.y) * (c.y - b.y) > 0 : (b.x - a.x) * (c.x - b.x) > 0)) {
                q.erase(q.begin() + static_cast<std::ptrdiff_t>(i));
                changed = true;
                break;
            }
        }
    }
    p.swap(q);
    int edges[4] = {0, 0, 0, 0};
    for (size_t i = 0; i < p.size(); ++i) {
        const int s = side(p[i], p[(i + 1) % p.size()]);
        if (s >= 0 && ++edges[s] > 1) return true;
    }
    return false;
}

}  // namespace detail

// Every polygon of `in` through `map`, clipped to the frame. Pieces smaller
// than min_area are dropped; a polygon whose pieces cover less than
// min_visibility of its whole mapped area is dropped with all of them. Pieces
// keep the source polygon's orientation (a mirror reverses the vertex order).
// Pure C++: safe without the GIL.
inline void transform(const std::vector<Poly>& polys, const Map& map, const Frame& f, Output& out) {
    const double margin = std::max(f.W, f.H) + 16.0;
    const double scale = detail::grid_scale(std::max(f.W, f.H) + margin);
    const bool mirror = map.mirrors();
    ClipperLib::Path frame{{0, 0},
                           {static_cast<ClipperLib::cInt>(f.W * scale), 0},
                           {static_cast<ClipperLib::cInt>(f.W * scale), static_cast<ClipperLib::cInt>(f.H * scale)},
                           {0, static_cast<ClipperLib::cInt>(f.H * scale)}};
    ClipperLib::Clipper clipper;
    ClipperLib::Path subject;
    ClipperLib::Paths solution, pieces;
    Poly mapped, piece, boxed;
    for (size_t r = 0; r < polys.size(); ++r) {
        const Poly& src = polys[r];
        const double sign = signed_area(src) < 0 ? -1.0 : 1.0;
        Poly clipped_src;
        const Poly* from = &src;
        if (map.projective) {
            // Only the part in front of the horizon has an image.
            bool behind = false;
            for (const Pt& q : src) behind = behind || map.w(q) < 1e-7;
            if (behind) {
                clipped_src = clip_half_plane(src, map.m[6], map.m[7], map.m[8] - 1e-7);
                from = &clipped_src;
            }
        }
        mapped.resize(from->size());
        for (size_t k = 0; k < from->size(); ++k) mapped[k] = map.apply((*from)[k]);
        if (mirror) std::reverse(mapped.begin(), mapped.end());
        const double whole = std::fabs(signed_area(mapped));
        if (mapped.empty()) continue;
        if (detail::within(mapped, 0, 0, f.W, f.H)) {
            if (whole < f.min_area) continue;
            out.pieces.push_back(mapped);
            out.source.push_back(static_cast<py::ssize_t>(r));
            continue;
        }
        // Clipped exactly in double precision; only a polygon that then runs
        // along one frame side more than once (it may fall apart into pieces
        // there) goes through Clipper.
        detail::clip_box(mapped, 0, 0, f.W, f.H, piece);
        if (!detail::tidy_on_frame(piece, f.W, f.H)) {
            if (piece.size() < 3) continue;
            const double a = std::fabs(signed_area(piece));
            if (!(a > 0) || a < f.min_area || (f.min_visibility > 0 && a < f.min_visibility * whole)) continue;
            if ((signed_area(piece) < 0 ? -1.0 : 1.0) != sign) std::reverse(piece.begin(), piece.end());
            out.pieces.push_back(piece);
            out.source.push_back(static_cast<py::ssize_t>(r));
            continue;
        }
        // Far-away vertices are cut to a margin around the frame first, which
        // leaves the intersection unchanged and keeps the grid in range.
        if (detail::within(mapped, -margin, -margin, f.W + margin, f.H + margin)) {
            boxed = mapped;
        } else {
            detail::clip_box(mapped, -margin, -margin, f.W + margin, f.H + margin, boxed);
        }
        if (boxed.size() < 3) continue;
        subject.resize(boxed.size());
        for (size_t k = 0; k < boxed.size(); ++k)
            subject[k] = {static_cast<ClipperLib::cInt>(std::llround(boxed[k].x * scale)),
                          static_cast<ClipperLib::cInt>(std::llround(boxed[k].y * scale))};
        clipper.Clear();
        clipper.AddPath(subject, ClipperLib::ptSubject, true);
        clipper.AddPath(frame, ClipperLib::ptClip, true);
        solution.clear();
        clipper.Execute(ClipperLib::ctIntersection, solution, ClipperLib::pftNonZero, ClipperLib::pftNonZero);
        // Parts joined only along an edge on the frame (a zero-width bridge)
        // come apart into pieces of their own.
        ClipperLib::SimplifyPolygons(solution, pieces, ClipperLib::pftNonZero);
        const size_t first = out.pieces.size();
        double visible = 0.0;
        std::vector<double> areas;
        for (const ClipperLib::Path& path : pieces) {
            Poly part(path.size());
            for (size_t k = 0; k < path.size(); ++k)
                part[k] = {static_cast<double>(path[k].X) / scale, static_cast<double>(path[k].Y) / scale};
            const double a = signed_area(part);
            if (!(a > 0)) continue;  // holes of self-crossing polygons
            if ((a < 0 ? -1.0 : 1.0) != sign) std::reverse(part.begin(), part.end());
            visible += a;
            areas.push_back(a);
            out.pieces.push_back(std::move(part));
            out.source.push_back(static_cast<py::ssize_t>(r));
        }
        if (f.min_visibility > 0 && visible < f.min_visibility * whole) {
            out.pieces.resize(first);
            out.source.resize(first);
            continue;
        }
        size_t keep = first;
        for (size_t k = first; k < out.pieces.size(); ++k) {
            if (areas[k - first] < f.min_area) continue;
            if (keep != k) {
                out.pieces[keep] = std::move(out.pieces[k]);
                out.source[keep] = out.source[k];
            }
            ++keep;
        }
        out.pieces.resize(keep);
        out.source.resize(keep);
    }
}

inline void transform(const Input& in, const Map& map, const Frame& f, Output& out) {
    transform(in.polys, map, f, out);
}

// The pieces as keypoint rows of the input's element type (integers rounded
// to the nearest), padded by repeating each row's last vertex; no pieces give
// a 0 x 0 array.
inline py::array pack(const Output& out, const Input& in) {
    size_t width = 0;
    for (const Poly& p : out.pieces) width = std::max(width, p.size());
    const py::dtype dt = in.array.dtype();
    py::array a(dt, std::vector<py::ssize_t>{static_cast<py::ssize_t>(out.pieces.size()),
                                             static_cast<py::ssize_t>(2 * width)});
    dispatch_dtype(dt, "keypoints", [&](auto tag) {
        using T = decltype(tag);
        T* d = static_cast<T*>(a.mutable_data());
        auto value = [&](double v) -> T {
            if constexpr (std::is_floating_point_v<T>) return static_cast<T>(v);
            else return static_cast<T>(std::nearbyint(v));
        };
        for (const Poly& p : out.pieces) {
            for (size_t k = 0; k < width; ++k) {
                const Pt& q = p[std::min(k, p.size() - 1)];
                *d++ = value(q.x);
                *d++ = value(q.y);
            }
        }
    });
    return a;
}

// ---- boolean operations for pasting objects over others -------------------------

// Clipper's integer grid for coordinates within `extent` of the origin.
struct Grid {
    double scale;
    explicit Grid(double extent) : scale(detail::grid_scale(extent)) {}
    ClipperLib::Path path(const Poly& p) const {
        ClipperLib::Path out(p.size());
        for (size_t k = 0; k < p.size(); ++k)
            out[k] = {static_cast<ClipperLib::cInt>(std::llround(p[k].x * scale)),
                      static_cast<ClipperLib::cInt>(std::llround(p[k].y * scale))};
        return out;
    }
    Poly poly(const ClipperLib::Path& path) const {
        Poly out(path.size());
        for (size_t k = 0; k < path.size(); ++k)
            out[k] = {static_cast<double>(path[k].X) / scale, static_cast<double>(path[k].Y) / scale};
        return out;
    }
};

namespace detail {

// Outer contours of a tree, each simple: a region with holes is cut by a
// vertical line through its first hole (every such line meets the hole, a
// connected set) into parts with fewer holes, until none is left.
inline void emit_simple(const ClipperLib::PolyNode& node, std::vector<ClipperLib::Path>& out, int depth = 0) {
    for (const ClipperLib::PolyNode* child : node.Childs) {
        if (child->IsHole()) continue;
        std::vector<const ClipperLib::PolyNode*> holes;
        for (const ClipperLib::PolyNode* h : child->Childs) holes.push_back(h);
        for (const ClipperLib::PolyNode* h : holes) emit_simple(*h, out, depth);  // islands inside holes
        if (holes.empty() || depth > 64) {
            out.push_back(child->Contour);
            continue;
        }
        ClipperLib::cInt lo = holes[0]->Contour[0].X, hi = lo, ylo = child->Contour[0].Y, yhi = ylo;
        ClipperLib::cInt xlo = child->Contour[0].X, xhi = xlo;
        for (const auto& q : holes[0]->Contour) lo = std::min(lo, q.X), hi = std::max(hi, q.X);
        for (const auto& q : child->Contour) {
            xlo = std::min(xlo, q.X), xhi = std::max(xhi, q.X);
            ylo = std::min(ylo, q.Y), yhi = std::max(yhi, q.Y);
        }
        const ClipperLib::cInt cut = lo + (hi - lo) / 2;
        ClipperLib::Paths shape{child->Contour};
        for (const ClipperLib::PolyNode* h : holes) shape.push_back(h->Contour);
        for (int side = 0; side < 2; ++side) {
            const ClipperLib::cInt a = side == 0 ? xlo - 1 : cut, b = side == 0 ? cut : xhi + 1;
            ClipperLib::Path half{{a, ylo - 1}, {b, ylo - 1}, {b, yhi + 1}, {a, yhi + 1}};
            ClipperLib::Clipper c;
            c.AddPaths(shape, ClipperLib::ptSubject, true);
            c.AddPath(half, ClipperLib::ptClip, true);
            ClipperLib::PolyTree tree;
            c.Execute(ClipperLib::ctIntersection, tree, ClipperLib::pftNonZero, ClipperLib::pftNonZero);
            ClipperLib::PolyTree clean;
            ClipperLib::Paths flat;
            ClipperLib::PolyTreeToPaths(tree, flat);
            ClipperLib::Clipper u;
            u.StrictlySimple(true);
            u.AddPaths(flat, ClipperLib::ptSubject, true);
            u.Execute(ClipperLib::ctUnion, clean, ClipperLib::pftNonZero, ClipperLib::pftNonZero);
            emit_simple(clean, out, depth + 1);
        }
    }
}

}  // namespace detail

// `p` minus the union of `cut` (grid paths), as simple pieces oriented like
// `p`, with their areas. Pieces that lose nothing keep their exact vertices.
inline void subtract(const Poly& p, const ClipperLib::Paths& cut, const Grid& g, std::vector<Poly>& out) {
    ClipperLib::Clipper c;
    c.StrictlySimple(true);
    c.AddPath(g.path(p), ClipperLib::ptSubject, true);
    c.AddPaths(cut, ClipperLib::ptClip, true);
    ClipperLib::PolyTree tree;
    c.Execute(ClipperLib::ctDifference, tree, ClipperLib::pftNonZero, ClipperLib::pftNonZero);
    std::vector<ClipperLib::Path> simple;
    detail::emit_simple(tree, simple);
    const double sign = signed_area(p) < 0 ? -1.0 : 1.0;
    for (const ClipperLib::Path& path : simple) {
        Poly piece = g.poly(path);
        const double a = signed_area(piece);
        if (a == 0) continue;
        if ((a < 0 ? -1.0 : 1.0) != sign) std::reverse(piece.begin(), piece.end());
        out.push_back(std::move(piece));
    }
}

// Pixels whose centres lie inside any of `polys` (continuous coordinates,
// each polygon filled by the even-odd rule) set to `value` in `dst`, whose
// pixel (0, 0) is at `origin` of the frame: the pixel (i, j) belongs to a
// polygon when (i + 0.5, j + 0.5) does, as COCO and YOLO rasterise.
inline void rasterize(const std::vector<Poly>& polys, cv::Mat& dst, cv::Point origin, uint8_t value) {
    std::vector<double> xs;
    for (const Poly& p : polys) {
        const size_t n = p.size();
        if (n < 3) continue;
        double y0 = p[0].y, y1 = p[0].y;
        for (const Pt& q : p) y0 = std::min(y0, q.y), y1 = std::max(y1, q.y);
        const int r0 = std::max(0, static_cast<int>(std::floor(y0 - origin.y - 0.5)));
        const int r1 = std::min(dst.rows - 1, static_cast<int>(std::ceil(y1 - origin.y - 0.5)));
        for (int r = r0; r <= r1; ++r) {
            const double yc = origin.y + r + 0.5;
            xs.clear();
            for (size_t i = 0, j = n - 1; i < n; j = i++) {
                const Pt& a = p[j];
                const Pt& b = p[i];
                if ((a.y <= yc) != (b.y <= yc)) xs.push_back(a.x + (yc - a.y) * (b.x - a.x) / (b.y - a.y));
            }
            std::sort(xs.begin(), xs.end());
            uint8_t* row = dst.ptr<uint8_t>(r);
            for (size_t k = 0; k + 1 < xs.size(); k += 2) {
                // Columns whose centres lie in [xs[k], xs[k + 1]).
                const int c0 = std::max(0, static_cast<int>(std::ceil(xs[k] - origin.x - 0.5)));
                const int c1 = std::min(dst.cols, static_cast<int>(std::ceil(xs[k + 1] - origin.x - 0.5)));
                if (c1 > c0) std::memset(row + c0, value, static_cast<size_t>(c1 - c0));
            }
        }
    }
}

// Outlines of the non-zero pixels of `region` (whose pixel (0, 0) is at
// `origin`), as polygons through the outer boundary pixels' centres.
inline void trace(const cv::Mat& region, cv::Point origin, std::vector<Poly>& out) {
    std::vector<std::vector<cv::Point>> contours;
    cv::Mat work = region.clone();
    cv::findContours(work, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
    for (const auto& c : contours) {
        if (c.size() < 3) continue;
        Poly p(c.size());
        for (size_t k = 0; k < c.size(); ++k) p[k] = {c[k].x + origin.x + 0.5, c[k].y + origin.y + 0.5};
        if (signed_area(p) < 0) std::reverse(p.begin(), p.end());
        out.push_back(std::move(p));
    }
}

}  // namespace polygons
}  // namespace kiro
