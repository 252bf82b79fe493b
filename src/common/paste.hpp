// Steps shared by the two patch-pasting operations (belmost, trevane): intake of
// the record, the binary working mask, the patch and its light change, the
// object's extent, the placement rules, the compositing method and the
// seamless clone.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>
#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/photo.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/arrays.hpp"
#include "common/clone.hpp"
#include "common/draws.hpp"
#include "common/errors.hpp"
#include "common/kinds.hpp"
#include "common/labels.hpp"
#include "common/module.hpp"
#include "common/sources.hpp"

namespace kiro {
namespace paste {
namespace py = pybind11;

inline constexpr const char* kWrongSource =
    "Wrong other_img type, it should be one of str picture path, str folder path which contaions "
    "'*.[extension]', list picture path or numpy ndarray.";
inline constexpr const char* kWrongCover = "Wrong cover_position value. See kiro.core.KirO for parameters.";
inline constexpr const char* kWrongFit = "Wrong fit_method value. See kiro.core.KirO for parameters.";
inline constexpr const char* kWrongRatio = "Wrong type of size_ratio, it should be tuple or list.";

inline std::string shape_text(const py::array& a) {
    std::string s = "(";
    for (py::ssize_t i = 0; i < a.ndim(); ++i) s += (i ? ", " : "") + std::to_string(a.shape(i));
    return s + (a.ndim() == 1 ? ",)" : ")");
}

// ---------------------------------------------------------------- intake

// Label check, data["image"], then the gate (one random() draw; skip when it is
// greater than prob). Returns false when the record is to be returned as it is.
inline bool intake(py::handle data, py::object& image, py::handle prob) {
    check_labels(data);
    image = py::reinterpret_borrow<py::object>(data)[py::str("image")];
    return !draw::gate_skips(prob);
}

// The background value of the mask, compared with each element like NumPy's ==.
struct Background {
    bool integral = false;  // exact integer comparison
    long long iv = 0;
    double dv = 0.0;

    explicit Background(py::handle bg) {
        if (!is_number(bg)) throw py::type_error("bg_mask must be a number");
        if (is_integer(bg)) {
            py::int_ v(py::reinterpret_borrow<py::object>(bg));
            int overflow = 0;
            const long long x = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
            if (x == -1 && PyErr_Occurred()) throw py::error_already_set();
            if (overflow == 0) {
                integral = true;
                iv = x;
            }
            dv = PyLong_AsDouble(v.ptr());
            if (dv == -1.0 && PyErr_Occurred()) PyErr_Clear();
        } else {
            dv = py::float_(py::reinterpret_borrow<py::object>(bg)).cast<double>();
        }
    }

    template <class T>
    bool equal(T v) const {
        if constexpr (std::is_same_v<T, bool>) {
            return integral ? (v ? 1 : 0) == iv : (v ? 1.0 : 0.0) == dv;
        } else if constexpr (std::is_floating_point_v<T>) {
            return static_cast<double>(v) == dv;
        } else if constexpr (std::is_unsigned_v<T>) {
            if (!integral) return static_cast<double>(v) == dv;
            return iv >= 0 && static_cast<unsigned long long>(v) == static_cast<unsigned long long>(iv);
        } else {
            return integral ? static_cast<long long>(v) == iv : static_cast<double>(v) == dv;
        }
    }
};

// The working mask as an 8-bit Mat, non-zero on object pixels. It may be a view
// of the caller's array (only read), which `keep` holds alive.
struct ObjectMask {
    py::object keep;
    cv::Mat mat;
};

// Elements of the 2-axis array `a` that differ from `bg`. A one-byte mask with
// background 0 is used as it is; other 8-bit backgrounds take one compare.
inline ObjectMask object_pixels(const py::array& a_in, const Background& bg, const char* name) {
    if (a_in.ndim() != 2)
        throw py::value_error(std::string(name) + " must have 2 axes (height x width), got shape " +
                              shape_text(a_in));
    if (a_in.shape(0) > INT32_MAX || a_in.shape(1) > INT32_MAX)
        throw py::value_error(std::string(name) + " is too large");
    const py::array a = packed(a_in);
    const int rows = static_cast<int>(a.shape(0)), cols = static_cast<int>(a.shape(1));
    const auto* base = static_cast<const char*>(a.data());
    const py::ssize_t stride = a.strides(0);
    ObjectMask out;
    const char kind = a.dtype().kind();
    if (a.itemsize() == 1 && (kind == 'u' || kind == 'b') && rows > 0 && cols > 0) {
        const cv::Mat view(rows, cols, CV_8U, const_cast<char*>(base),
                           rows > 1 ? static_cast<size_t>(stride) : cv::Mat::AUTO_STEP);
        if (bg.integral && bg.iv == 0) {
            out.keep = a;
            out.mat = view;
            return out;
        }
        if (bg.integral || bg.dv == std::floor(bg.dv)) {
            const double v = bg.integral ? static_cast<double>(bg.iv) : bg.dv;
            py::gil_scoped_release nogil;
            if (v < 0 || v > (kind == 'b' ? 1 : 255))
                out.mat = cv::Mat(rows, cols, CV_8U, cv::Scalar(1));
            else
                cv::compare(view, v, out.mat, cv::CMP_NE);
            return out;
        }
    }
    out.mat.create(rows, cols, CV_8U);
    cv::Mat& m = out.mat;
    dispatch_dtype(a.dtype(), name, [&](auto tag) {
        using T = decltype(tag);
        py::gil_scoped_release nogil;
        for (int r = 0; r < rows; ++r) {
            const T* p = reinterpret_cast<const T*>(base + r * stride);
            uint8_t* o = m.ptr<uint8_t>(r);
            for (int c = 0; c < cols; ++c) o[c] = bg.equal(p[c]) ? 0 : 1;
        }
    });
    return out;
}

// The working mask: non-zero on labelled pixels. From the record's mask
// (elements equal to bg_mask are background), or from kp2mask without one. The
// caller's mask is only read.
inline ObjectMask working_mask(py::handle data, py::handle bg_mask, const Globals& g) {
    if (!has_key(data, "mask")) {
        py::object m = g("kp2mask")(data, py::arg("one_class_only") = true);
        return object_pixels(as_ndarray(m, "kp2mask result"), Background(py::int_(0)), "kp2mask result");
    }
    py::object m = py::reinterpret_borrow<py::object>(data)[py::str("mask")];
    return object_pixels(as_ndarray(m, "data['mask']"), Background(bg_mask), "data['mask']");
}

// The sample image as an 8-bit H x W x 3 view matching the mask's size.
// Seamless cloning accepts nothing else.
inline Image sample_image(py::handle image, const cv::Mat& mask) {
    const py::array a = as_ndarray(image, "data['image']");
    const bool u8 = a.dtype().kind() == 'u' && a.itemsize() == 1;
    if (a.ndim() != 3 || a.shape(2) != 3 || !u8)
        throw py::value_error("data['image'] must be a height x width x 3 uint8 image, got shape " +
                              shape_text(a) + " of " + std::string(py::str(a.dtype())));
    if (a.shape(0) == 0 || a.shape(1) == 0) throw py::value_error("data['image'] is empty");
    if (a.shape(0) != mask.rows || a.shape(1) != mask.cols)
        throw py::value_error("the mask (" + std::to_string(mask.rows) + " x " + std::to_string(mask.cols) +
                              ") must have the height and width of data['image'] " + shape_text(a));
    return Image(a, "data['image']");
}

// ---------------------------------------------------------------- the patch

struct Patch {
    Image source;        // array holding the patch pixels (own image or scaled texture)
    cv::Mat pixels;      // h x w x 3 view, any depth
    cv::Mat alpha;       // the source's alpha channel at the source's size, or empty
    int h = 0, w = 0;
    double scale = 1.0, shift = 0.0;
};

// trunc(side * size_ratio[i]) with the host's arithmetic.
inline py::object side_bound(long long side, py::handle size_ratio, int i) {
    py::object f = py::reinterpret_borrow<py::object>(size_ratio)[py::int_(i)];
    py::object prod = py::reinterpret_steal<py::object>(PyNumber_Multiply(py::int_(side).ptr(), f.ptr()));
    if (!prod) throw py::error_already_set();
    py::object t = py::reinterpret_steal<py::object>(PyNumber_Long(prod.ptr()));
    if (!t) throw py::error_already_set();
    return t;
}

inline int as_side(py::handle v, const char* name) {
    const long long x = to_int(v);
    if (x < 0 || x > INT32_MAX) throw py::value_error(std::string(name) + " " + std::to_string(x) + " is out of range");
    return static_cast<int>(x);
}

// Six draws: a darker and a brighter scale, one chosen; a negative and a
// positive shift, one chosen.
inline void light_draws(Patch& p) {
    const std::array<double, 4> scale{0.8, 0.98, 1.02, 1.2};
    const std::array<long long, 4> shift{-10, -5, 5, 10};
    const double a = draw::uniform(scale[0], scale[1]);
    const double b = draw::uniform(scale[2], scale[3]);
    p.scale = draw::choice(py::list(py::make_tuple(a, b))).cast<double>();
    const double c = draw::uniform(static_cast<double>(shift[0]), static_cast<double>(shift[1]));
    const double d = draw::uniform(static_cast<double>(shift[2]), static_cast<double>(shift[3]));
    p.shift = draw::choice(py::list(py::make_tuple(c, d))).cast<double>();
}

// Unpacks caspen's (texture, h, w), like `a, b, c = result`.
inline std::array<py::object, 3> unpack3(py::handle result) {
    PyObject* it = PyObject_GetIter(result.ptr());
    if (!it) {
        PyErr_Clear();
        throw py::type_error("cannot unpack non-iterable " +
                             std::string(py::str(py::type::handle_of(result).attr("__name__"))) + " object");
    }
    py::object iter = py::reinterpret_steal<py::object>(it);
    std::array<py::object, 3> out;
    for (int i = 0; i < 4; ++i) {
        PyObject* item = PyIter_Next(iter.ptr());
        if (!item) {
            if (PyErr_Occurred()) throw py::error_already_set();
            if (i < 3)
                throw py::value_error("not enough values to unpack (expected 3, got " + std::to_string(i) + ")");
            break;
        }
        py::object o = py::reinterpret_steal<py::object>(item);
        if (i == 3) throw py::value_error("too many values to unpack (expected 3)");
        out[static_cast<size_t>(i)] = o;
    }
    return out;
}

// The patch before its light change, with every draw of its source, its size
// and its light, in order. H x W is the working mask's size.
inline Patch prepare_patch(py::handle image, const Image& img, py::handle image_source, py::handle size_ratio,
                           const Globals& g) {
    Patch p;
    const int H = img.rows(), W = img.cols();
    if (image_source.is_none()) {
        p.h = as_side(draw::randint(side_bound(H, size_ratio, 0), side_bound(H, size_ratio, 1)), "patch height");
        p.w = as_side(draw::randint(side_bound(W, size_ratio, 0), side_bound(W, size_ratio, 1)), "patch width");
        const long long w_copy = draw::randint(0, static_cast<long long>(W) - p.w);
        const long long h_copy = draw::randint(0, static_cast<long long>(H) - p.h);
        light_draws(p);
        p.source = img;
        p.pixels = img.mat(cv::Rect(static_cast<int>(w_copy), static_cast<int>(h_copy), p.w, p.h));
        return p;
    }
    const py::array other = load_source(image_source, kWrongSource);
    if (other.ndim() == 3 && other.shape(2) == 4) {
        const Image src(other, "image_source");
        py::gil_scoped_release nogil;
        cv::extractChannel(src.mat, p.alpha, 3);
    }
    const auto parts = unpack3(g("caspen")(image, other, size_ratio));
    const py::array tex = as_ndarray(parts[0], "caspen result");
    p.h = as_side(parts[1], "patch height");
    p.w = as_side(parts[2], "patch width");
    if (tex.ndim() != 3 || tex.shape(2) < 3 || tex.shape(0) != p.h || tex.shape(1) != p.w)
        throw py::value_error("caspen result must be a " + std::to_string(p.h) + " x " + std::to_string(p.w) +
                              " image of at least 3 channels, got shape " + shape_text(tex));
    p.source = Image(tex, "caspen result");
    if (p.source.channels() == 3) {
        p.pixels = p.source.mat;
    } else {
        py::gil_scoped_release nogil;
        cv::Mat first3(p.source.mat.size(), CV_MAKETYPE(p.source.mat.depth(), 3));
        const int pairs[] = {0, 0, 1, 1, 2, 2};
        cv::mixChannels(&p.source.mat, 1, &first3, 1, pairs, 3);
        p.pixels = first3;
    }
    light_draws(p);
    return p;
}

// x * scale + shift in double, clipped to [0, 255], cut to 8 bits.
inline uint8_t light_level(double v, double scale, double shift) {
    double x = v * scale;
    x = x + shift;
    if (!(x > 0.0)) return 0;  // NaN included
    if (x >= 255.0) return 255;
    return static_cast<uint8_t>(x);
}

// The light change of 8-bit values as a table, exact with the formula.
inline std::array<uint8_t, 256> light_table(const Patch& p) {
    std::array<uint8_t, 256> lut{};
    for (int v = 0; v < 256; ++v) lut[static_cast<size_t>(v)] = light_level(v, p.scale, p.shift);
    return lut;
}

// The same table as y = (v * a + b) >> 15, saturated to [0, 255], when some a, b
// reproduce all 256 entries exactly (checked entry by entry); a == 0 otherwise.
struct FixedLight {
    int32_t a = 0, b = 0;
};

inline FixedLight fixed_light(const std::array<uint8_t, 256>& table, double scale) {
    const long long base = std::llround(scale * 32768.0);
    for (const long long a : {base, base - 1, base + 1, base - 2, base + 2}) {
        if (a <= 0 || a > 65535) continue;
        long long lo = -(1LL << 30), hi = 1LL << 30;
        for (long long v = 0; v < 256; ++v) {
            const long long o = table[static_cast<size_t>(v)], p = v * a;
            if (o < 255) hi = std::min(hi, (o + 1) * 32768 - 1 - p);
            if (o > 0) lo = std::max(lo, o * 32768 - p);
        }
        if (lo > hi) continue;
        FixedLight f{static_cast<int32_t>(a), static_cast<int32_t>(lo)};
        bool same = true;
        for (int v = 0; v < 256 && same; ++v) {
            const int32_t y = (v * f.a + f.b) >> 15;
            same = static_cast<uint8_t>(std::clamp(y, 0, 255)) == table[static_cast<size_t>(v)];
        }
        if (same) return f;
    }
    return {};
}

// dst = table[src] over `n` bytes, sixteen at a time with the fixed-point form.
inline void light_bytes(const uint8_t* src, uint8_t* dst, int n, const std::array<uint8_t, 256>& table,
                        const FixedLight& f) {
    int i = 0;
#if CV_SIMD128
    if (f.a > 0) {
        const cv::v_uint16x8 a16 = cv::v_setall_u16(static_cast<uint16_t>(f.a));
        const cv::v_int32x4 b32 = cv::v_setall_s32(f.b);
        // Eight 16-bit values to eight saturated 16-bit results of (v * a + b) >> 15.
        const auto half = [&](const cv::v_uint16x8& v16) {
            cv::v_uint32x4 p0, p1;
            cv::v_mul_expand(v16, a16, p0, p1);
            const cv::v_int32x4 r0 = cv::v_shr<15>(cv::v_reinterpret_as_s32(p0) + b32);
            const cv::v_int32x4 r1 = cv::v_shr<15>(cv::v_reinterpret_as_s32(p1) + b32);
            return cv::v_pack(r0, r1);
        };
        for (; i + 16 <= n; i += 16) {
            cv::v_uint16x8 lo, hi;
            cv::v_expand(cv::v_load(src + i), lo, hi);
            cv::v_store(dst + i, cv::v_pack_u(half(lo), half(hi)));
        }
    }
#endif
    for (; i < n; ++i) dst[i] = table[src[i]];
}

// dst = light(src) for 8-bit h x w x 3 Mats.
inline void light_mat(const cv::Mat& src, cv::Mat& dst, const std::array<uint8_t, 256>& table,
                      const FixedLight& f) {
    const int n = src.cols * 3;
    for (int r = 0; r < src.rows; ++r) light_bytes(src.ptr<uint8_t>(r), dst.ptr<uint8_t>(r), n, table, f);
}

// The patch after its light change, as a new 8-bit h x w x 3 Mat.
inline cv::Mat lit_patch(const Patch& p) {
    cv::Mat out(p.pixels.size(), CV_8UC3);
    if (p.pixels.depth() == CV_8U) {
        const auto t = light_table(p);
        const FixedLight f = fixed_light(t, p.scale);
        py::gil_scoped_release nogil;
        light_mat(p.pixels, out, t, f);
        return out;
    }
    py::gil_scoped_release nogil;
    const int n = p.pixels.cols * 3;
    const auto run = [&](auto tag) {
        using T = decltype(tag);
        for (int r = 0; r < p.pixels.rows; ++r) {
            const T* s = p.pixels.ptr<T>(r);
            uint8_t* o = out.ptr<uint8_t>(r);
            for (int i = 0; i < n; ++i) o[i] = light_level(static_cast<double>(s[i]), p.scale, p.shift);
        }
    };
    switch (p.pixels.depth()) {
        case CV_8S: run(int8_t{}); break;
        case CV_16U: run(uint16_t{}); break;
        case CV_16S: run(int16_t{}); break;
        case CV_32S: run(int32_t{}); break;
        case CV_32F: run(float{}); break;
        default: run(double{}); break;
    }
    return out;
}

// Fills `dst` (h x w x 3, 8-bit) with the lit patch wherever `where` is non-zero
// (everywhere when `where` is empty) and with `under` elsewhere. 8-bit
// patches go through the table in the same pass.
inline void paste_lit(const Patch& p, cv::Mat dst, const cv::Mat& where, const cv::Mat& under) {
    if (p.pixels.depth() != CV_8U) {
        const cv::Mat lit = lit_patch(p);
        py::gil_scoped_release nogil;
        if (where.empty()) {
            lit.copyTo(dst);
        } else {
            under.copyTo(dst);
            lit.copyTo(dst, where);
        }
        return;
    }
    const auto t = light_table(p);
    const FixedLight f = fixed_light(t, p.scale);
    py::gil_scoped_release nogil;
    light_mat(p.pixels, dst, t, f);
    if (where.empty()) return;
    // Kept pixels: runs of zeros in `where` take `under`.
    const int w = p.pixels.cols;
    for (int r = 0; r < p.pixels.rows; ++r) {
        const uint8_t* m = where.ptr<uint8_t>(r);
        const uint8_t* u = under.ptr<uint8_t>(r);
        uint8_t* o = dst.ptr<uint8_t>(r);
        for (int c = 0; c < w;) {
            int e = c;
            if (m[c]) {
                while (e < w && m[e]) ++e;
            } else {
                while (e < w && !m[e]) ++e;
                std::memcpy(o + 3 * c, u + 3 * c, static_cast<size_t>(3 * (e - c)));
            }
            c = e;
        }
    }
}

// The alpha channel scaled to the patch size (bilinear).
inline cv::Mat scaled_alpha(const Patch& p) {
    cv::Mat out;
    py::gil_scoped_release nogil;
    cv::resize(p.alpha, out, cv::Size(p.w, p.h));
    return out;
}

// ---------------------------------------------------------------- placement

// Rows and columns holding the object: first, last (and second column). Fewer
// than two rows (columns) count as the whole image side, ending at H (W).
struct Extent {
    long long row0 = 0, row_last = 0, col0 = 0, col1 = 0, col_last = 0;
};

inline Extent object_extent(const cv::Mat& mask) {
    const int H = mask.rows, W = mask.cols;
    std::vector<uint8_t> rows(static_cast<size_t>(H)), cols(static_cast<size_t>(W), 0);
    {
        // Rows and columns holding a non-zero byte, eight bytes at a time.
        py::gil_scoped_release nogil;
        uint8_t* cacc = cols.data();
        for (int r = 0; r < H; ++r) {
            const uint8_t* m = mask.ptr<uint8_t>(r);
            uint64_t any = 0;
            int c = 0;
            for (; c + 8 <= W; c += 8) {
                uint64_t v, a;
                std::memcpy(&v, m + c, 8);
                std::memcpy(&a, cacc + c, 8);
                a |= v;
                any |= v;
                std::memcpy(cacc + c, &a, 8);
            }
            for (; c < W; ++c) {
                cacc[c] |= m[c];
                any |= m[c];
            }
            rows[static_cast<size_t>(r)] = any != 0;
        }
    }
    std::vector<long long> allh, allw;
    for (int r = 0; r < H; ++r)
        if (rows[static_cast<size_t>(r)]) allh.push_back(r);
    for (int c = 0; c < W; ++c)
        if (cols[static_cast<size_t>(c)]) allw.push_back(c);
    if (allh.size() < 2) allh = {0, H};
    if (allw.size() < 2) allw = {0, W};
    return {allh.front(), allh.back(), allw[0], allw[1], allw.back()};
}

struct Place {
    long long x = 0, y = 0;  // w_cover, h_cover
};

inline long long pick2(long long a, long long b) { return to_int(draw::choice(py::list(py::make_tuple(a, b)))); }

// Patch over the object's extent. The underlay rule reads the second column and
// lowers both bounds by one more; the occluding rule reads the first column.
inline Place place_inter(const Extent& e, long long H, long long W, long long h, long long w, bool underlay) {
    Place p;
    if (underlay) {
        p.x = draw::randint(std::max(e.col1 - w - 1, 0LL), std::min(W - w, e.col_last));
        p.y = draw::randint(std::max(e.row0 - h - 1, 0LL), std::min(H - h, e.row_last));
    } else {
        p.x = draw::randint(std::max(e.col0 - w, 0LL), std::min(W - w, e.col_last));
        p.y = draw::randint(std::max(e.row0 - h, 0LL), std::min(H - h, e.row_last));
    }
    return p;
}

// Patch straddling a left/right or a top/bottom edge of the object's extent.
inline Place place_mask_edge(const Extent& e, long long H, long long W, long long h, long long w) {
    Place p;
    if (draw::random() < 0.5) {
        const long long a = draw::randint(std::max(e.col0 - w, 0LL), std::min(W - w, e.col0));
        const long long b = draw::randint(std::max(e.col_last - w, 0LL), std::min(W - w, e.col_last));
        p.x = pick2(a, b);
        p.y = draw::randint(std::max(e.row0 - h, 0LL), std::min(H - h, e.row_last));
    } else {
        p.x = draw::randint(std::max(e.col1 - w, 0LL), std::min(W - w, e.col_last));
        const long long a = draw::randint(std::max(e.row0 - h, 0LL), std::min(H - h, e.row0));
        const long long b = draw::randint(std::max(e.row_last - h, 0LL), std::min(H - h, e.row_last));
        p.y = pick2(a, b);
    }
    return p;
}

// Patch touching a border of the image.
inline Place place_image_edge(long long H, long long W, long long h, long long w) {
    Place p;
    if (draw::random() < 0.5) {
        p.x = pick2(0, W - w);
        p.y = draw::randint(0, H - h);
    } else {
        p.x = draw::randint(0, W - w);
        p.y = pick2(0, H - h);
    }
    return p;
}

inline Place place_random(long long H, long long W, long long h, long long w) {
    Place p;
    p.x = draw::randint(0, W - w);
    p.y = draw::randint(0, H - h);
    return p;
}

// The region covered by the patch; it must lie inside the image.
inline cv::Rect region(const Place& p, int h, int w, int H, int W) {
    if (p.x < 0 || p.y < 0 || p.x + w > W || p.y + h > H)
        throw py::value_error("the " + std::to_string(h) + " x " + std::to_string(w) + " patch at row " +
                              std::to_string(p.y) + ", column " + std::to_string(p.x) + " does not fit in the " +
                              std::to_string(H) + " x " + std::to_string(W) + " image");
    return cv::Rect(static_cast<int>(p.x), static_cast<int>(p.y), w, h);
}

// ---------------------------------------------------------------- method

enum class Fit { Paste, Normal, Mix, Mono, Unknown };

// fit_method, after the FIT_RANDOM draw (randint(1, 4)) where it applies.
inline Fit resolve_fit(py::object fit_method, const Globals& g) {
    if (equals(fit_method, g("FIT_RANDOM"))) fit_method = draw::randint(py::int_(1), py::int_(4));
    if (equals(fit_method, g("FIT_PASTE"))) return Fit::Paste;
    if (equals(fit_method, g("FIT_NORMAL"))) return Fit::Normal;
    if (equals(fit_method, g("FIT_MIX"))) return Fit::Mix;
    if (equals(fit_method, g("FIT_MONO"))) return Fit::Mono;
    return Fit::Unknown;
}

// The seamless-clone flag of a cloning method; the fit_method error otherwise.
inline int clone_flag(Fit f) {
    switch (f) {
        case Fit::Normal: return cv::NORMAL_CLONE;
        case Fit::Mix: return cv::MIXED_CLONE;
        case Fit::Mono: return cv::MONOCHROME_TRANSFER;
        default: raise_plain(kWrongFit);
    }
}

// Seamless clone of src into a copy of dst (kiro's clone step, the results of
// cv::seamlessClone) with the GIL released. A clone area that leaves the image
// reaches the caller as RuntimeError.
inline cv::Mat seamless_clone(const cv::Mat& src, const cv::Mat& dst, const cv::Mat& mask, cv::Point centre,
                              int flag) {
    if (mask.depth() != CV_8U || (mask.channels() != 1 && mask.channels() != 3))
        throw py::value_error("the clone mask (the alpha channel of image_source) must be 8-bit");
    if (src.empty()) throw std::runtime_error("seamless clone: the patch is empty");
    cv::Mat out;
    py::gil_scoped_release nogil;
    clone::seamless(src, dst, mask, centre, out, flag);
    return out;
}

// A new array holding `img`, except inside `roi`, which the caller fills.
inline py::array copy_outside(const Image& img, const cv::Rect& roi, cv::Mat& view) {
    py::array out = new_array(img.rows(), img.cols(), 3, img.array.dtype());
    view = mat_view(out, "result");
    {
        py::gil_scoped_release nogil;
        const cv::Rect all(0, 0, img.cols(), img.rows());
        const cv::Rect parts[] = {
            cv::Rect(0, 0, all.width, roi.y),
            cv::Rect(0, roi.y + roi.height, all.width, all.height - roi.y - roi.height),
            cv::Rect(0, roi.y, roi.x, roi.height),
            cv::Rect(roi.x + roi.width, roi.y, all.width - roi.x - roi.width, roi.height),
        };
        for (const cv::Rect& part : parts)
            if (part.area() > 0) img.mat(part).copyTo(view(part));
    }
    return out;
}

// size_ratio must be a tuple or a list (or derived from one).
inline void check_size_ratio(py::handle size_ratio) {
    if (!is_seq(size_ratio)) raise_plain(kWrongRatio);
}

}  // namespace paste
}  // namespace kiro
