// Brightness ramps: one offset per column (or per row) added to every pixel and
// channel of it, the sum clipped to 0..255 and converted back to the image's
// element type. Shared by the column ramp and its row twin.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>
#include <opencv2/core/hal/intrin.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "common/arrays.hpp"
#include "common/draws.hpp"
#include "common/errors.hpp"
#include "common/kinds.hpp"
#include "common/module.hpp"

namespace kiro {
namespace ramp {
namespace py = pybind11;

// Image axis the run follows: its length is that axis' size.
enum class Axis { Rows = 0, Columns = 1 };

constexpr const char* kWrongChannels = "Wrong image chanel!";

// ---------------------------------------------------------------------------
// Names received through the light-run module.

// Makes sure `name` is in m's namespace (a module that lists only its own
// function in __all__ still carries the constants it imported).
inline void ensure_name(py::module_& m, const char* source, const char* name) {
    if (py::hasattr(m, name)) return;
    py::module_ src = py::module_::import(source);
    if (py::hasattr(src, name)) {
        m.attr(name) = src.attr(name);
        return;
    }
    kiro::import_name(m, "kiro.core.KirO", name);
}

inline void import_light(py::module_& m) {
    const char* source = "kiro.utils.nuvaro";
    kiro::import_all(m, source);
    for (const char* name : {"light_space_process", "LIGHT_LINEAR", "LIGHT_LOG"}) ensure_name(m, source, name);
}

// ---------------------------------------------------------------------------
// Mean of all elements (double precision).

// Element types the ramps compute natively; float16 and long double go through
// NumPy with the same formulation.
inline bool native_kind(const py::dtype& dt) {
    const char k = dt.kind();
    if (k == 'b' || k == 'u' || k == 'i') return true;
    return k == 'f' && (dt.itemsize() == 4 || dt.itemsize() == 8);
}

inline bool numpy_kind(const py::dtype& dt) { return dt.kind() == 'f' && !native_kind(dt); }

[[noreturn]] inline void bad_dtype(const py::dtype& dt) {
    throw py::type_error("image: element type " + std::string(py::str(dt)) +
                         " is not supported (expected a boolean, integer or real type)");
}

// C-contiguous, aligned, native byte order version of `a` (a itself when it already is).
inline py::array contiguous_native(const py::array& a) { return kiro::dense_native(a); }

template <class T>
double sum_of(const T* p, size_t n) {
    if constexpr (std::is_floating_point_v<T>) {
        // Blocked sums keep the rounding error small on large images.
        double total = 0;
        for (size_t i = 0; i < n;) {
            const size_t end = std::min(n, i + 4096);
            double part = 0;
            for (; i < end; ++i) part += static_cast<double>(p[i]);
            total += part;
        }
        return total;
    } else if constexpr (std::is_same_v<T, uint8_t>) {
        // OpenCV's SIMD sum, exact for 8-bit data; chunks keep Mat sizes in int.
        double total = 0;
        const size_t chunk = size_t(1) << 30;
        for (size_t i = 0; i < n; i += chunk) {
            const int len = static_cast<int>(std::min(chunk, n - i));
            total += cv::sum(cv::Mat(1, len, CV_8U, const_cast<T*>(p + i)))[0];
        }
        return total;
    } else {
        __int128 total = 0;
        for (size_t i = 0; i < n; ++i) total += static_cast<__int128>(p[i]);
        return static_cast<double>(total);
    }
}

// MEAN: the mean of all elements, truncated toward zero, as a Python int.
inline py::object mean_brightness(const py::array& image) {
    const py::ssize_t n = image.size();
    if (n == 0) throw py::value_error("image is empty: its mean brightness is undefined");
    double mean;
    if (numpy_kind(image.dtype())) {
        py::object np = py::module_::import("numpy");
        mean = np.attr("mean")(image, py::arg("dtype") = np.attr("float64")).cast<double>();
    } else {
        if (!native_kind(image.dtype())) bad_dtype(image.dtype());
        py::array flat = contiguous_native(image);
        const void* data = flat.data();
        double total = 0;
        kiro::dispatch_dtype(flat.dtype(), "image", [&](auto tag) {
            using T = decltype(tag);
            py::gil_scoped_release nogil;
            total = sum_of(static_cast<const T*>(data), static_cast<size_t>(n));
        });
        mean = total / static_cast<double>(n);
    }
    if (!std::isfinite(mean)) throw py::value_error("image: its mean brightness is not finite");
    return py::reinterpret_steal<py::object>(PyLong_FromDouble(std::trunc(mean)));
}

// ---------------------------------------------------------------------------
// Scale choice of the operations.

struct Scale {
    py::object value;
    bool zero_run = false;  // drawn 0 for the logarithmic run: the run is all zeros
};

// The caller's scale, or one drawn from the image's mean brightness.
inline Scale choose_scale(const py::object& image, const py::object& light_scale, const py::object& space_type,
                          const kiro::Globals& g) {
    if (!light_scale.is_none()) return {light_scale, false};
    const py::object mean = mean_brightness(kiro::as_ndarray(image, "image"));
    const py::object low = py::reinterpret_steal<py::object>(PyNumber_Negative(mean.ptr()));
    if (!low) throw py::error_already_set();
    if (kiro::equals(space_type, g("LIGHT_LINEAR"))) return {kiro::draw::randint(low, mean), false};
    if (kiro::equals(space_type, g("LIGHT_LOG"))) {
        py::list candidates;
        candidates.append(py::float_(kiro::draw::random()));
        candidates.append(py::float_(-kiro::draw::random()));
        candidates.append(kiro::draw::randint(low, mean));
        py::object pick = kiro::draw::choice(candidates);
        return {pick, kiro::equals(pick, py::int_(0))};
    }
    return {light_scale, false};
}

// ---------------------------------------------------------------------------
// Pixel kernels over rows of `len` elements (columns x channels).

// What NumPy gives on this platform for NaN converted to an integer type.
template <class T>
T nan_as() {
    if constexpr (std::is_same_v<T, int32_t> || std::is_same_v<T, int64_t>) return std::numeric_limits<T>::min();
    if constexpr (std::is_same_v<T, uint64_t>) return T(1) << 63;
    return T(0);
}

// Clipped sum back to T: reals round to nearest, integers truncate toward zero.
template <class T>
inline T from_clipped(double s) {
    if constexpr (std::is_same_v<T, bool>) {
        return s != 0;  // NaN counts as true, as in NumPy
    } else if constexpr (std::is_floating_point_v<T>) {
        return static_cast<T>(s);
    } else {
        if (std::isnan(s)) return nan_as<T>();
        return static_cast<T>(static_cast<long long>(s));
    }
}

inline double clip255(double s) {
    if (s < 0) s = 0;
    if (s > 255) s = 255;
    return s;  // NaN stays NaN
}

struct Geometry {
    py::ssize_t rows = 0, cols = 0, channels = 1;
    py::ssize_t src_stride = 0;  // bytes between source rows
    py::ssize_t len() const { return cols * channels; }
};

// Kernels below are simple element loops; let the compiler vectorise them.
#pragma GCC push_options
#pragma GCC optimize("O3", "no-trapping-math")

// Clipped sum back to T (NaN only with a NaN offset or a real input).
template <class T, bool careful>
inline T clipped_as(double v) {
    v = v < 0 ? 0 : v;  // NaN stays NaN
    v = v > 255 ? 255 : v;
    if constexpr (std::is_same_v<T, bool>) {
        return v != 0;  // NaN counts as true, as in NumPy
    } else if constexpr (std::is_floating_point_v<T>) {
        return static_cast<T>(v);
    } else if constexpr (careful) {
        return from_clipped<T>(v);
    } else {
        return static_cast<T>(static_cast<int>(v));  // v in 0..255: truncation toward zero
    }
}

// One row: d[e] = T(clip(s[e] + x)), x per element (xs) or one for the row.
template <class T, bool careful>
void ramp_row(const T* __restrict s, T* __restrict d, py::ssize_t len, const double* __restrict xs) {
    for (py::ssize_t e = 0; e < len; ++e) d[e] = clipped_as<T, careful>(static_cast<double>(s[e]) + xs[e]);
}

template <class T, bool careful>
void ramp_row(const T* __restrict s, T* __restrict d, py::ssize_t len, double x) {
    for (py::ssize_t e = 0; e < len; ++e) d[e] = clipped_as<T, careful>(static_cast<double>(s[e]) + x);
}

template <class T, bool careful>
void ramp_rows(const uint8_t* src, uint8_t* dst, const Geometry& g, const std::vector<double>& x, Axis axis) {
    const py::ssize_t len = g.len();
    std::vector<double> row_x;
    if (axis == Axis::Columns) {
        row_x.resize(static_cast<size_t>(len));
        for (py::ssize_t e = 0; e < len; ++e) row_x[e] = x[static_cast<size_t>(e / g.channels)];
    }
    for (py::ssize_t i = 0; i < g.rows; ++i) {
        const T* s = reinterpret_cast<const T*>(src + i * g.src_stride);
        T* d = reinterpret_cast<T*>(dst) + i * len;
        if (axis == Axis::Columns) ramp_row<T, careful>(s, d, len, row_x.data());
        else ramp_row<T, careful>(s, d, len, x[static_cast<size_t>(i)]);
    }
}

// Any element type, straight from the formulation.
template <class T>
void ramp_any(const uint8_t* src, uint8_t* dst, const Geometry& g, const std::vector<double>& x, Axis axis) {
    bool nan = false;
    for (double v : x) nan = nan || std::isnan(v);
    if (std::is_integral_v<T> && !std::is_same_v<T, bool> && nan) ramp_rows<T, true>(src, dst, g, x, axis);
    else ramp_rows<T, false>(src, dst, g, x, axis);
}

#pragma GCC pop_options

// For 8-bit data an offset acts as a saturating integer shift: v -> clamp(v + k).
struct Shift {
    uint8_t up = 0, down = 0;  // k = up - down
};

inline Shift shift_by(int k) {
    Shift s;
    if (k > 0) s.up = static_cast<uint8_t>(k);
    else s.down = static_cast<uint8_t>(-k);
    return s;
}

inline uint8_t exact_u8(int v, double x) { return from_clipped<uint8_t>(clip255(static_cast<double>(v) + x)); }

inline bool shift_matches(double x, int k) {
    for (int v = 0; v < 256; ++v) {
        const int t = v + k;
        if (exact_u8(v, x) != (t < 0 ? 0 : t > 255 ? 255 : t)) return false;
    }
    return true;
}

// The shift equal to v -> trunc(clip(v + x)) for every 8-bit v; false when there
// is none (x a hair below an integer, where rounding of v + x depends on v).
inline bool shift_of(double x, Shift& out) {
    if (std::isnan(x) || x <= -255) {
        out = shift_by(-255);
        return true;
    }
    if (x >= 255) {
        out = shift_by(255);
        return true;
    }
    // floor(v + x) computed in doubles is v + floor(x) unless v + x rounds up to
    // the next integer, which needs ceil(x) - x within an ulp of 511.
    const double f = std::floor(x);
    const int k = static_cast<int>(f);
    if (f == x || std::ceil(x) - x > 0x1p-30) {
        out = shift_by(k);
        return true;
    }
    for (int kk : {k, k + 1}) {
        if (shift_matches(x, kk)) {
            out = shift_by(kk);
            return true;
        }
    }
    return false;
}

// dst = (src +sat up) -sat down, element-wise, for n bytes.
inline void shift_bytes(const uint8_t* s, uint8_t* d, const uint8_t* up, const uint8_t* down, py::ssize_t n) {
    py::ssize_t e = 0;
#if CV_SIMD
    const py::ssize_t step = cv::v_uint8::nlanes;
    for (; e + step <= n; e += step) cv::v_store(d + e, (cv::vx_load(s + e) + cv::vx_load(up + e)) - cv::vx_load(down + e));
#endif
    for (; e < n; ++e) {
        const int t = s[e] + up[e];
        const int u = (t > 255 ? 255 : t) - down[e];
        d[e] = static_cast<uint8_t>(u < 0 ? 0 : u);
    }
}

inline void shift_bytes(const uint8_t* s, uint8_t* d, Shift sh, py::ssize_t n) {
    py::ssize_t e = 0;
#if CV_SIMD
    const cv::v_uint8 up = cv::vx_setall_u8(sh.up), down = cv::vx_setall_u8(sh.down);
    const py::ssize_t step = cv::v_uint8::nlanes;
    for (; e + step <= n; e += step) cv::v_store(d + e, (cv::vx_load(s + e) + up) - down);
#endif
    for (; e < n; ++e) {
        const int t = s[e] + sh.up;
        const int u = (t > 255 ? 255 : t) - sh.down;
        d[e] = static_cast<uint8_t>(u < 0 ? 0 : u);
    }
}

// 8-bit ramp as saturating shifts; false (nothing written) when an offset has
// no exact shift form.
inline bool ramp_u8(const uint8_t* src, uint8_t* dst, const Geometry& g, const std::vector<double>& x, Axis axis) {
    std::vector<Shift> shifts(x.size());
    for (size_t j = 0; j < x.size(); ++j)
        if (!shift_of(x[j], shifts[j])) return false;
    const py::ssize_t len = g.len();
    if (axis == Axis::Rows) {
        for (py::ssize_t i = 0; i < g.rows; ++i) shift_bytes(src + i * g.src_stride, dst + i * len, shifts[i], len);
        return true;
    }
    std::vector<uint8_t> up(static_cast<size_t>(len)), down(static_cast<size_t>(len));
    for (py::ssize_t e = 0; e < len; ++e) {
        const Shift& s = shifts[static_cast<size_t>(e / g.channels)];
        up[e] = s.up;
        down[e] = s.down;
    }
    for (py::ssize_t i = 0; i < g.rows; ++i) shift_bytes(src + i * g.src_stride, dst + i * len, up.data(), down.data(), len);
    return true;
}

// ---------------------------------------------------------------------------
// Applying the ramp (the classes' `do`).

// The run: light_space_process(space_type, light_scale, n), looked up at call time.
inline std::vector<double> light_run(const kiro::Globals& g, const py::object& space_type,
                                     const py::object& light_scale, py::ssize_t n, bool zero_run) {
    if (zero_run) return std::vector<double>(static_cast<size_t>(n), 0.0);
    py::object run = g("light_space_process")(space_type, light_scale, py::int_(n));
    auto x = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(run);
    if (!x) throw py::type_error("light_space_process did not return an array of reals");
    if (x.ndim() != 1 || x.shape(0) != n)
        throw py::value_error("light_space_process returned a run of the wrong shape for " + std::to_string(n) +
                              " offsets");
    return std::vector<double>(x.data(), x.data() + n);
}

// The reference formulation through NumPy (float16, long double).
inline py::object ramp_numpy(const py::array& image, const std::vector<double>& x, Axis axis) {
    py::object np = py::module_::import("numpy");
    py::array_t<double> run(static_cast<py::ssize_t>(x.size()));
    std::copy(x.begin(), x.end(), run.mutable_data());
    py::object weight = run;
    if (axis == Axis::Columns) {
        if (image.ndim() == 3) weight = np.attr("tile")(run.attr("reshape")(-1, 1), image.shape(2));
    } else {
        weight = image.ndim() == 3 ? np.attr("tile")(run.attr("reshape")(-1, 1), image.shape(2)).attr("reshape")(
                                         image.shape(0), 1, image.shape(2))
                                   : run.attr("reshape")(-1, 1);
    }
    py::object sum = image.attr("__add__")(weight);
    return np.attr("clip")(sum, 0, 255).attr("astype")(image.dtype());
}

inline py::object apply(const py::object& image, const py::object& prob, const py::object& space_type,
                        const py::object& light_scale, Axis axis, const kiro::Globals& g, bool zero_run = false) {
    // 1. Gate: act only when the draw is less than prob.
    const py::float_ draw(kiro::draw::random());
    const int acts = PyObject_RichCompareBool(draw.ptr(), prob.ptr(), Py_LT);
    if (acts < 0) throw py::error_already_set();
    if (!acts) return image;

    // 2-3. Element type, run length from the axis, the run.
    py::array a = kiro::as_ndarray(image, "image");
    const int along = static_cast<int>(axis);
    if (a.ndim() <= along) throw py::index_error("tuple index out of range");
    const std::vector<double> x = light_run(g, space_type, light_scale, a.shape(along), zero_run);

    // 4. Two or three axes only.
    if (a.ndim() != 2 && a.ndim() != 3) kiro::raise_plain(kWrongChannels);
    const py::dtype dtype = a.dtype();
    if (numpy_kind(dtype)) return ramp_numpy(a, x, axis);
    if (!native_kind(dtype)) bad_dtype(dtype);

    // 4-6. Sum, clip and convert into a new array.
    py::array src = kiro::packed(a);
    py::array out = kiro::new_like(src);
    Geometry geo;
    geo.rows = src.shape(0);
    geo.cols = src.shape(1);
    geo.channels = src.ndim() == 3 ? src.shape(2) : 1;
    geo.src_stride = src.strides(0);
    if (geo.rows * geo.len() > 0) {
        const uint8_t* in = static_cast<const uint8_t*>(src.data());
        uint8_t* res = static_cast<uint8_t*>(out.mutable_data());
        const bool bytes = src.dtype().kind() == 'u' && src.itemsize() == 1;
        kiro::dispatch_dtype(src.dtype(), "image", [&](auto tag) {
            using T = decltype(tag);
            py::gil_scoped_release nogil;
            if (bytes && ramp_u8(in, res, geo, x, axis)) return;
            ramp_any<T>(in, res, geo, x, axis);
        });
    }
    if (!dtype.attr("isnative").cast<bool>()) return out.attr("astype")(dtype);
    return std::move(out);
}

// ---------------------------------------------------------------------------
// The classes. Axis-tagged so the two modules register distinct C++ types.

template <Axis A>
struct Light {
    py::object prob, space_type, light_scale;
};

inline std::string repr_of(const py::handle& h) { return py::repr(h).cast<std::string>(); }

template <Axis A>
void bind_light(py::module_& m, const char* name, const kiro::Globals& g, const char* doc, const char* do_doc) {
    using L = Light<A>;
    py::class_<L>(m, name, py::module_local(), py::dynamic_attr(), doc)
        .def(py::init([](py::object prob, py::object space_type, py::object light_scale) {
                 return L{std::move(prob), std::move(space_type), std::move(light_scale)};
             }),
             py::arg("prob") = 0.5, py::arg("space_type") = m.attr("LIGHT_LINEAR"), py::arg("light_scale") = 50)
        .def_readwrite("prob", &L::prob)
        .def_readwrite("space_type", &L::space_type)
        .def_readwrite("light_scale", &L::light_scale)
        .def(
            "do", [g](const L& self, py::object image) { return apply(image, self.prob, self.space_type, self.light_scale, A, g); },
            py::arg("image"), do_doc)
        .def("__repr__", [name](const L& self) {
            return std::string(name) + "(prob=" + repr_of(self.prob) + ", space_type=" + repr_of(self.space_type) +
                   ", light_scale=" + repr_of(self.light_scale) + ")";
        });
}

// The operation: scale choice, then the class' `do`.
inline py::object operation(const py::object& image, const py::object& prob, const py::object& light_scale,
                            const py::object& space_type, Axis axis, const kiro::Globals& g) {
    const Scale scale = choose_scale(image, light_scale, space_type, g);
    return apply(image, prob, space_type, scale.value, axis, g, scale.zero_run);
}

}  // namespace ramp
}  // namespace kiro
