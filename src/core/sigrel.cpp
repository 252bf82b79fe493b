// Watermark: scale a watermark picture to a random fraction of an image, place it
// at an anchor (or anywhere) and paste it directly or by seamless cloning.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/imgproc.hpp>
#include <opencv2/photo.hpp>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "common/arrays.hpp"
#include "common/clone.hpp"
#include "common/draws.hpp"
#include "common/errors.hpp"
#include "common/kinds.hpp"
#include "common/module.hpp"
#include "common/sources.hpp"

namespace py = pybind11;
using kiro::Image;

namespace {

kiro::Globals g;

constexpr const char* kWrongWatermark =
    "Wrong watermark type, it should be one of str picture path, str folder path which contains "
    "'*.[extension]', list picture path or numpy ndarray.";
constexpr const char* kWrongPosition = "Wrong watermark_position value. See kiro.core.KirO for parameters.";
constexpr const char* kWrongMethod = "Wrong fit_method value. See kiro.core.KirO for parameters.";

struct Sizes {
    long long h, w, c;
};

struct Scaled {
    py::array wm;  // re_h x re_w x img_c, the watermark's element type
    long long re_h, re_w;
};

struct Rect {
    long long top, left, bottom, right;  // bottom and right exclusive
};

enum class MaskKind { Opaque, Alpha, Thresh };

struct MaskPlan {
    MaskKind kind;
    double thresh;
};

std::string shape_text(const py::array& a) {
    std::string s;
    for (py::ssize_t i = 0; i < a.ndim(); ++i) s += (i ? " x " : "") + std::to_string(a.shape(i));
    return s;
}

py::array c_contiguous(const py::array& a) {
    if (a.flags() & py::array::c_style) return a;
    return py::module_::import("numpy").attr("ascontiguousarray")(a).cast<py::array>();
}

// C-contiguous, aligned, in native byte order, for typed reads.
py::array native_dense(const py::array& a) { return kiro::dense_native(a); }

bool same_dtype(const py::array& a, const py::array& b) { return kiro::equals(a.dtype(), b.dtype()); }

// Step 3: the alpha channel comes only from a 3-axis, 4-channel watermark.
bool has_alpha(const py::array& wm) { return wm.ndim() == 3 && wm.shape(2) == 4; }

// Step 4
Sizes image_sizes(py::handle image) {
    py::array a = kiro::as_ndarray(image, "image");
    if (a.ndim() != 3)
        throw py::value_error("image must have 3 axes (height x width x channels), got " + std::to_string(a.ndim()));
    const char kind = a.dtype().kind();
    if (std::string("biufc").find(kind) == std::string::npos)  // the paste copies raw elements
        throw py::type_error("image: element type " + std::string(py::str(a.dtype())) + " is not supported");
    return {a.shape(0), a.shape(1), a.shape(2)};
}

// Step 5: caspen, looked up at call time; its result is checked before use.
Scaled scale_watermark(py::handle image, const py::array& wm, py::handle size_ratio, const Sizes& s) {
    py::object result = g("caspen")(image, wm, size_ratio);
    if (!PySequence_Check(result.ptr()) || py::len(result) != 3)
        throw py::value_error("caspen must return (watermark, re_h, re_w)");
    Scaled sc{kiro::as_ndarray(result[py::int_(0)], "scaled watermark"), kiro::to_int(result[py::int_(1)]),
              kiro::to_int(result[py::int_(2)])};
    if (sc.wm.ndim() != 3 || sc.wm.shape(0) != sc.re_h || sc.wm.shape(1) != sc.re_w || sc.wm.shape(2) != s.c)
        throw py::value_error("scaled watermark has shape " + shape_text(sc.wm) + ", expected " +
                              std::to_string(sc.re_h) + " x " + std::to_string(sc.re_w) + " x " +
                              std::to_string(s.c));
    return sc;
}

// Steps 6-8: the anchor (or random) placement, then moved inside the image.
Rect place(py::object position, const Sizes& s, long long re_h, long long re_w) {
    const long long offset_x = re_w / 4, offset_y = re_h / 4;
    if (kiro::equals(position, g("WATERMARK_RANDOM_ANCHOR"))) position = py::int_(kiro::draw::randint(1, 7));
    auto is = [&](const char* name) { return kiro::equals(position, g(name)); };
    auto jitter = [](long long hi) { return kiro::draw::randint(0LL, hi); };
    const long long low = s.h - re_h, right = s.w - re_w;
    const long long mid_left = s.w / 2 - re_w / 2;
    long long top, left;
    if (is("WATERMARK_UPLEFT")) {
        top = jitter(offset_y);
        left = jitter(offset_x);
    } else if (is("WATERMARK_UP")) {
        top = jitter(offset_y);
        left = mid_left;
    } else if (is("WATERMARK_UPRIGHT")) {
        top = jitter(offset_y);
        left = right - jitter(offset_x);
    } else if (is("WATERMARK_CENTER")) {
        top = s.h / 2 - re_h / 2;
        left = mid_left;
    } else if (is("WATERMARK_DOWNLEFT")) {
        top = low - jitter(offset_y);
        left = jitter(offset_x);
    } else if (is("WATERMARK_DOWN")) {
        top = low - jitter(offset_y);
        left = mid_left;
    } else if (is("WATERMARK_DOWNRIGHT")) {
        top = low - jitter(offset_y);
        left = right - jitter(offset_x);
    } else if (is("WATERMARK_RANDOM_ALL")) {
        top = kiro::draw::randint(0LL, low);
        left = kiro::draw::randint(0LL, right);
    } else {
        kiro::raise_plain(kWrongPosition);
    }
    top = std::min(std::max(top, 0LL), low);
    left = std::min(std::max(left, 0LL), right);
    if (low < 0 || right < 0)
        throw py::value_error("watermark of " + std::to_string(re_h) + " x " + std::to_string(re_w) +
                              " pixels does not fit in the image of " + std::to_string(s.h) + " x " +
                              std::to_string(s.w) + " pixels");
    return {top, left, top + re_h, left + re_w};
}

// Step 9: which pixels are transparent (the masks themselves are built per method).
MaskPlan mask_plan(bool alpha, py::handle thresh) {
    if (thresh.is_none()) return {alpha ? MaskKind::Alpha : MaskKind::Opaque, 0.0};
    if (!kiro::is_number(thresh))
        throw py::type_error("thresh must be None or a number, got " +
                             std::string(py::str(py::type::handle_of(thresh).attr("__name__"))));
    return {MaskKind::Thresh, py::float_(py::reinterpret_borrow<py::object>(thresh)).cast<double>()};
}

// 255 on every element of the scaled watermark above `t`, 0 elsewhere.
cv::Mat threshold_mask(const py::array& scaled, double t) {
    py::array wm = native_dense(scaled);
    const int rows = static_cast<int>(wm.shape(0)), cols = static_cast<int>(wm.shape(1));
    const int cn = static_cast<int>(wm.shape(2));
    if (cn > CV_CN_MAX) throw py::value_error("watermark has too many channels");
    cv::Mat mask(rows, cols, CV_8UC(cn));
    const size_t n = static_cast<size_t>(rows) * cols * cn;
    const void* data = wm.data();
    kiro::dispatch_dtype(wm.dtype(), "watermark", [&](auto tag) {
        using T = decltype(tag);
        py::gil_scoped_release nogil;
        const T* v = static_cast<const T*>(data);
        uint8_t* out = mask.ptr<uint8_t>();
        if constexpr (std::is_same_v<T, uint8_t>) {
            uint8_t lut[256];
            for (int i = 0; i < 256; ++i) lut[i] = static_cast<double>(i) > t ? 255 : 0;
            for (size_t i = 0; i < n; ++i) out[i] = lut[v[i]];
        } else {
            for (size_t i = 0; i < n; ++i) out[i] = static_cast<double>(v[i]) > t ? 255 : 0;
        }
    });
    return mask;
}

// The alpha channel of the unscaled watermark, resized to re_w x re_h.
cv::Mat scaled_alpha(const py::array& original, long long re_h, long long re_w) {
    Image src(original, "watermark");
    cv::Mat out;
    {
        py::gil_scoped_release nogil;
        cv::Mat alpha;
        cv::extractChannel(src.mat, alpha, 3);
        cv::resize(alpha, out, cv::Size(static_cast<int>(re_w), static_cast<int>(re_h)));
    }
    return out;
}

// Where the image's rectangle lives in memory (any strides, the caller's own array).
struct Target {
    char* base;  // element (top, left, 0)
    py::ssize_t s0, s1, s2;
};

// Copy the watermark into the rectangle; `sel` (0 or 255, when given) picks what
// is copied: per pixel (one byte per pixel) or per element (one per element).
template <size_t N>
void write_rect(const Target& d, const char* src, int rows, int cols, int cn, size_t item, const uint8_t* sel,
                bool per_pixel) {
    const size_t size = N ? N : item;
    const size_t px_bytes = static_cast<size_t>(cn) * item, row_bytes = cols * px_bytes;
    const bool packed_rows = d.s2 == static_cast<py::ssize_t>(item) && d.s1 == static_cast<py::ssize_t>(px_bytes);
    const size_t units = per_pixel ? cols : static_cast<size_t>(cols) * cn;
    const size_t unit_bytes = per_pixel ? px_bytes : item;
    for (int y = 0; y < rows; ++y) {
        char* drow = d.base + y * d.s0;
        const char* srow = src + y * row_bytes;
        const uint8_t* rs = sel ? sel + y * units : nullptr;
        if (packed_rows && !rs) {
            std::memcpy(drow, srow, row_bytes);
        } else if (packed_rows && N == 1 && !per_pixel) {
            auto* dd = reinterpret_cast<uint8_t*>(drow);
            auto* ss = reinterpret_cast<const uint8_t*>(srow);
            for (size_t i = 0; i < units; ++i) dd[i] = static_cast<uint8_t>((dd[i] & ~rs[i]) | (ss[i] & rs[i]));
        } else if (packed_rows) {
            // runs of selected units, one copy each
            for (size_t i = 0; i < units;) {
                while (i < units && !rs[i]) ++i;
                size_t j = i;
                while (j < units && rs[j]) ++j;
                if (j > i) std::memcpy(drow + i * unit_bytes, srow + i * unit_bytes, (j - i) * unit_bytes);
                i = j;
            }
        } else {
            for (int x = 0; x < cols; ++x) {
                char* dpx = drow + x * d.s1;
                const char* spx = srow + x * px_bytes;
                for (int c = 0; c < cn; ++c)
                    if (!rs || rs[per_pixel ? x : static_cast<size_t>(x) * cn + c])
                        std::memcpy(dpx + c * d.s2, spx + c * item, size);
            }
        }
    }
}

// Step 12, FIT_PASTE: write into the caller's image and return it.
py::object paste(py::handle image, const Scaled& sc, const py::array& original, const MaskPlan& plan, const Rect& r) {
    py::array img = py::reinterpret_borrow<py::array>(image);
    if (!img.writeable()) throw py::value_error("image is read-only; FIT_PASTE writes the watermark into it");
    cv::Mat sel;
    bool per_pixel = false;
    if (plan.kind == MaskKind::Thresh) {
        sel = threshold_mask(sc.wm, plan.thresh);
    } else if (plan.kind == MaskKind::Alpha) {
        const cv::Mat alpha = scaled_alpha(original, sc.re_h, sc.re_w);
        py::gil_scoped_release nogil;
        cv::compare(alpha, 0, sel, cv::CMP_NE);
        per_pixel = true;
    }
    py::array src = sc.wm;
    if (!same_dtype(src, img)) src = src.attr("astype")(img.dtype()).cast<py::array>();
    src = c_contiguous(src);

    const int rows = static_cast<int>(sc.re_h), cols = static_cast<int>(sc.re_w);
    const int cn = static_cast<int>(img.shape(2));
    const size_t item = static_cast<size_t>(img.itemsize());
    Target d{static_cast<char*>(img.mutable_data()) + r.top * img.strides(0) + r.left * img.strides(1),
             img.strides(0), img.strides(1), img.strides(2)};
    const char* s = static_cast<const char*>(src.data());
    const uint8_t* m = sel.empty() ? nullptr : sel.ptr<uint8_t>();
    {
        py::gil_scoped_release nogil;
        switch (item) {
            case 1: write_rect<1>(d, s, rows, cols, cn, item, m, per_pixel); break;
            case 2: write_rect<2>(d, s, rows, cols, cn, item, m, per_pixel); break;
            case 4: write_rect<4>(d, s, rows, cols, cn, item, m, per_pixel); break;
            case 8: write_rect<8>(d, s, rows, cols, cn, item, m, per_pixel); break;
            default: write_rect<0>(d, s, rows, cols, cn, item, m, per_pixel); break;
        }
    }
    return py::reinterpret_borrow<py::object>(image);
}

// Step 12, the cloning methods: a new image, the input untouched.
py::array clone(py::handle image, const Scaled& sc, const py::array& original, const MaskPlan& plan, const Rect& r,
                int flag) {
    py::array img = py::reinterpret_borrow<py::array>(image);
    const py::dtype u8 = py::dtype::of<uint8_t>();
    if (img.shape(2) != 3 || !kiro::equals(img.dtype(), u8))
        throw py::value_error("seamless cloning needs an 8-bit image of height x width x 3, got " + shape_text(img) +
                              " of " + std::string(py::str(img.dtype())));
    if (!kiro::equals(sc.wm.dtype(), u8))
        throw py::value_error("seamless cloning needs an 8-bit watermark, got " + std::string(py::str(sc.wm.dtype())));
    Image dst(img, "image");
    Image src(sc.wm, "watermark");
    cv::Mat mask;
    if (plan.kind == MaskKind::Thresh)
        mask = threshold_mask(sc.wm, plan.thresh);
    else if (plan.kind == MaskKind::Alpha)
        mask = scaled_alpha(original, sc.re_h, sc.re_w);
    else
        mask = cv::Mat(src.rows(), src.cols(), CV_8UC3, cv::Scalar::all(255));

    py::array out = kiro::new_array(dst.rows(), dst.cols(), 3, u8);
    cv::Mat blend = kiro::mat_view(out, "result");
    const cv::Point center(static_cast<int>(r.left + (r.right - r.left) / 2),
                           static_cast<int>(r.top + (r.bottom - r.top) / 2));
    {
        py::gil_scoped_release nogil;
        kiro::clone::seamless(src.mat, dst.mat, mask, center, blend, flag);
    }
    return out;
}

}  // namespace

py::object sigrel(py::object image, py::object watermark, py::object watermark_position, py::object fit_method,
                  py::object prob, py::object size_ratio, py::object thresh) {
    if (kiro::draw::gate_skips(prob)) return image;
    const py::array source = kiro::load_source(watermark, kWrongWatermark);
    const bool alpha = has_alpha(source);
    const Sizes s = image_sizes(image);
    const Scaled sc = scale_watermark(image, source, size_ratio, s);
    const Rect r = place(watermark_position, s, sc.re_h, sc.re_w);
    const MaskPlan plan = mask_plan(alpha, thresh);

    if (kiro::equals(fit_method, g("FIT_RANDOM"))) fit_method = py::int_(kiro::draw::randint(1, 4));
    if (kiro::equals(fit_method, g("FIT_PASTE"))) return paste(image, sc, source, plan, r);
    if (kiro::equals(fit_method, g("FIT_NORMAL"))) return clone(image, sc, source, plan, r, cv::NORMAL_CLONE);
    if (kiro::equals(fit_method, g("FIT_MIX"))) return clone(image, sc, source, plan, r, cv::MIXED_CLONE);
    if (kiro::equals(fit_method, g("FIT_MONO"))) return clone(image, sc, source, plan, r, cv::MONOCHROME_TRANSFER);
    kiro::raise_plain(kWrongMethod);
}

PYBIND11_MODULE(sigrel, m) {
    kiro::register_errors();
    kiro::import_all(m, "kiro.core.KirO");
    kiro::import_name(m, "kiro.utils.caspen", "caspen");
    g.bind(m);
    m.def("sigrel", &sigrel, py::arg("image"), py::arg("watermark"),
          py::arg("watermark_position") = m.attr("WATERMARK_RANDOM_ANCHOR"),
          py::arg("fit_method") = m.attr("FIT_PASTE"), py::arg("prob") = 1.0,
          py::arg("size_ratio") = py::make_tuple(0.125, 0.5), py::arg("thresh") = py::none(),
          R"doc(Paste a watermark onto `image`.

With probability `prob` (one random() draw; a draw above `prob` returns `image`
untouched), the watermark (an array, a file path, a "*" pattern or a list of
paths; pattern matches are sorted before the random choice) is scaled by
`caspen(image, watermark, size_ratio)` and placed at `watermark_position`: one
of the seven anchors WATERMARK_UPLEFT .. WATERMARK_DOWNRIGHT (moved inward by
up to a quarter of the watermark's size), WATERMARK_RANDOM_ANCHOR (one of them
at random) or WATERMARK_RANDOM_ALL (anywhere). The rectangle is kept inside
the image.

Transparency: with `thresh` None, a 4-channel watermark's alpha channel (alpha
0 is transparent), else nothing; with a number, every element of the scaled
watermark at or below `thresh` is transparent.

`fit_method`: FIT_PASTE writes the opaque elements into `image` itself (any
channel count) and returns it; FIT_NORMAL, FIT_MIX and FIT_MONO return a new
image made by seamless cloning (height x width x 3, 8-bit only); FIT_RANDOM
picks one of the four.

Draws, in order: the gate; the file choice (pattern or list); caspen's size;
the anchor (WATERMARK_RANDOM_ANCHOR); the placement jitter; the method
(FIT_RANDOM).)doc");
}
