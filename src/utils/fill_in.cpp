// Paint a region of an image: with its mean, with Gaussian noise or with a value.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

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

namespace py = pybind11;

namespace {

kiro::Globals g;

// Noise of DELETED_FILL_RANDOM: integer images N(128, 64) saturated to the
// type's range, real images N(0.5, 0.25).
constexpr double kNoiseMeanInt = 128.0, kNoiseStdInt = 64.0;
constexpr double kNoiseMeanReal = 0.5, kNoiseStdReal = 0.25;

enum class Fill { Mean, Random, Value };

// Gaussian source seeded by one 64-bit draw: xoshiro256** with the polar method,
// the same doubles on every platform.
class Gauss {
public:
    explicit Gauss(uint64_t seed) {
        for (auto& s : s_) s = splitmix(seed);
    }
    double next() {
        if (has_spare_) {
            has_spare_ = false;
            return spare_;
        }
        double u, v, q;
        do {
            u = 2.0 * unit() - 1.0;
            v = 2.0 * unit() - 1.0;
            q = u * u + v * v;
        } while (q >= 1.0 || q == 0.0);
        const double f = std::sqrt(-2.0 * std::log(q) / q);
        spare_ = v * f;
        has_spare_ = true;
        return u * f;
    }

private:
    static uint64_t splitmix(uint64_t& x) {
        uint64_t z = (x += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    double unit() {
        const uint64_t r = rotl(s_[1] * 5, 7) * 9;
        const uint64_t t = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = rotl(s_[3], 45);
        return static_cast<double>(r >> 11) * 0x1.0p-53;
    }
    uint64_t s_[4];
    double spare_ = 0.0;
    bool has_spare_ = false;
};

template <class T>
T to_pixel(double v) {
    if constexpr (std::is_floating_point_v<T>) {
        return static_cast<T>(v);
    } else {
        const double lo = static_cast<double>(std::numeric_limits<T>::lowest());
        const double hi = static_cast<double>(std::numeric_limits<T>::max());
        const double r = std::round(v);
        if (!(r > lo)) return std::numeric_limits<T>::lowest();
        if (!(r < hi)) return std::numeric_limits<T>::max();
        return static_cast<T>(r);
    }
}

// The region's bounding box and, inside it, a 0/1 byte per pixel (row-major).
struct Selection {
    long long r0 = 0, r1 = 0, c0 = 0, c1 = 0;  // rows r0..r1-1, columns c0..c1-1
    std::vector<uint8_t> sel;
    long long width() const { return c1 - c0; }
};

// Branch-free reduction over a row, so the compiler vectorises it.
template <class T>
bool row_has_content(const T* p, long long w) {
    if constexpr (std::is_integral_v<T>) {
        std::make_unsigned_t<std::conditional_t<std::is_same_v<T, bool>, uint8_t, T>> acc = 0;
        for (long long c = 0; c < w; ++c) acc |= static_cast<decltype(acc)>(p[c]);
        return acc != 0;
    } else {
        long long n = 0;
        for (long long c = 0; c < w; ++c) n += p[c] != T(0);
        return n != 0;
    }
}

Selection selection(const py::array& region_in) {
    const py::array region = kiro::packed(region_in);
    const long long h = region.shape(0), w = region.shape(1);
    const char* base = static_cast<const char*>(region.data());
    const py::ssize_t stride = h > 0 ? region.strides(0) : 0;
    Selection S;
    kiro::dispatch_dtype(region.dtype(), "region", [&](auto tag) {
        using T = decltype(tag);
        auto row = [&](long long r) { return reinterpret_cast<const T*>(base + r * stride); };
        py::gil_scoped_release nogil;
        long long r0 = h, r1 = 0, c0 = w, c1 = 0;
        for (long long r = 0; r < h; ++r) {
            const T* p = row(r);
            if (!row_has_content(p, w)) continue;
            r0 = std::min(r0, r);
            r1 = r + 1;
            long long a = 0, b = w;
            while (p[a] == T(0)) ++a;
            while (p[b - 1] == T(0)) --b;
            c0 = std::min(c0, a);
            c1 = std::max(c1, b);
        }
        if (r1 == 0) return;
        S.r0 = r0, S.r1 = r1, S.c0 = c0, S.c1 = c1;
        S.sel.resize(static_cast<size_t>((r1 - r0) * (c1 - c0)));
        for (long long r = r0; r < r1; ++r) {
            const T* p = row(r) + c0;
            uint8_t* s = S.sel.data() + (r - r0) * (c1 - c0);
            for (long long c = 0; c < c1 - c0; ++c) s[c] = p[c] != T(0);
        }
    });
    return S;
}

struct Layout {
    long long h, w, cn;
};

// Calls f(pixel pointer) for every selected pixel, row by row.
template <class T, class F>
void for_selected(T* px, const Selection& S, const Layout& L, F&& f) {
    const long long bw = S.width();
    for (long long r = S.r0; r < S.r1; ++r) {
        const uint8_t* s = S.sel.data() + (r - S.r0) * bw;
        T* p = px + (r * L.w + S.c0) * L.cn;
        for (long long c = 0; c < bw; ++c, p += L.cn)
            if (s[c]) f(p);
    }
}

// Per-channel mean of the selected pixels as pixel values (integers rounded to
// the nearest, halves away from zero); empty when nothing is selected.
template <class T>
std::vector<T> region_mean(T* px, const Selection& S, const Layout& L) {
    // 64-bit sums hold 2^31 pixels of 32-bit values; wider types need 128 bits.
    using Wide = std::conditional_t<(sizeof(T) <= 4), std::conditional_t<std::is_signed_v<T>, int64_t, uint64_t>,
                                    std::conditional_t<std::is_signed_v<T>, __int128, unsigned __int128>>;
    using Acc = std::conditional_t<std::is_floating_point_v<T>, double, Wide>;
    std::vector<Acc> sum(static_cast<size_t>(L.cn), Acc(0));
    long long count = 0;
    if (L.cn == 3) {  // the usual colour image: sums kept in registers
        Acc s0 = 0, s1 = 0, s2 = 0;
        for_selected(px, S, L, [&](const T* p) {
            ++count;
            s0 += static_cast<Acc>(p[0]), s1 += static_cast<Acc>(p[1]), s2 += static_cast<Acc>(p[2]);
        });
        sum = {s0, s1, s2};
    } else {
        for_selected(px, S, L, [&](const T* p) {
            ++count;
            for (long long k = 0; k < L.cn; ++k) sum[k] += static_cast<Acc>(p[k]);
        });
    }
    std::vector<T> mean;
    if (count == 0) return mean;
    for (long long k = 0; k < L.cn; ++k) {
        if constexpr (std::is_floating_point_v<T>) {
            mean.push_back(static_cast<T>(sum[k] / static_cast<double>(count)));
        } else {
            // Exact integer mean: quotient, then the remainder decides the rounding.
            Acc q = sum[k] / static_cast<Acc>(count);
            const Acc r = sum[k] % static_cast<Acc>(count);
            if constexpr (std::is_signed_v<Acc>) {
                if (2 * (r < 0 ? -r : r) >= count) q += r < 0 ? -1 : 1;
            } else if (2 * r >= static_cast<Acc>(count)) {
                q += 1;
            }
            mean.push_back(static_cast<T>(q));
        }
    }
    return mean;
}

template <class T>
void paint(T* px, const Selection& S, const Layout& L, Fill kind, const std::vector<T>& value, uint64_t seed) {
    if (kind == Fill::Random) {
        Gauss gauss(seed);
        const bool real = std::is_floating_point_v<T>;
        const double mu = real ? kNoiseMeanReal : kNoiseMeanInt, sd = real ? kNoiseStdReal : kNoiseStdInt;
        for_selected(px, S, L, [&](T* p) {
            for (long long k = 0; k < L.cn; ++k) p[k] = to_pixel<T>(mu + sd * gauss.next());
        });
        return;
    }
    if (L.cn == 3) {
        const T v0 = value[0], v1 = value[1], v2 = value[2];
        for_selected(px, S, L, [&](T* p) { p[0] = v0, p[1] = v1, p[2] = v2; });
        return;
    }
    const size_t bytes = sizeof(T) * static_cast<size_t>(L.cn);
    for_selected(px, S, L, [&](T* p) { std::memcpy(p, value.data(), bytes); });
}

// An integer fill value as T; values the type cannot hold are refused.
template <class T>
T fill_value(py::handle fill_type) {
    py::int_ v(py::reinterpret_borrow<py::object>(fill_type));
    if constexpr (std::is_floating_point_v<T>) {
        return static_cast<T>(py::float_(v).cast<double>());
    } else {
        const py::int_ lo(std::numeric_limits<T>::lowest()), hi(std::numeric_limits<T>::max());
        if (PyObject_RichCompareBool(v.ptr(), lo.ptr(), Py_LT) == 1 ||
            PyObject_RichCompareBool(v.ptr(), hi.ptr(), Py_GT) == 1)
            throw py::value_error("fill_in: fill value " + std::string(py::str(v)) + " does not fit the image's " +
                                  "element type");
        return v.cast<T>();
    }
}

Fill fill_kind(py::handle fill_type) {
    if (kiro::equals(fill_type, g("DELETED_FILL_MEAN"))) return Fill::Mean;
    if (kiro::equals(fill_type, g("DELETED_FILL_RANDOM"))) return Fill::Random;
    if (kiro::is_integer(fill_type)) return Fill::Value;
    throw py::value_error("fill_in: fill_type must be DELETED_FILL_MEAN, DELETED_FILL_RANDOM or an integer, got " +
                          std::string(py::repr(fill_type)));
}

}  // namespace

py::array fill_in(py::object image, py::object region, py::object fill_type) {
    py::array img = kiro::as_ndarray(image, "image");
    py::array reg = kiro::as_ndarray(region, "region");
    if (img.ndim() != 2 && img.ndim() != 3)
        throw py::value_error("fill_in: image must have 2 or 3 axes, got " + std::to_string(img.ndim()));
    const char kind = img.dtype().kind();
    if (kind != 'u' && kind != 'i' && kind != 'f')
        throw py::type_error("fill_in: image element type " + std::string(py::str(img.dtype())) +
                             " is not supported");
    if (reg.ndim() != 2 || reg.shape(0) != img.shape(0) || reg.shape(1) != img.shape(1))
        throw py::value_error("fill_in: region must be a 2-axis array of the image's height and width");
    const char rkind = reg.dtype().kind();
    if (rkind != 'b' && rkind != 'u' && rkind != 'i' && rkind != 'f')
        throw py::type_error("fill_in: region element type " + std::string(py::str(reg.dtype())) +
                             " is not supported");
    const Fill how = fill_kind(fill_type);
    const uint64_t seed = how == Fill::Random
                              ? kiro::draw::random_module().attr("getrandbits")(64).cast<uint64_t>()
                              : 0;

    const Layout L{img.shape(0), img.shape(1), img.ndim() == 3 ? img.shape(2) : 1};
    const Selection sel = selection(reg);
    // New C-order, native-order image holding a copy of the input.
    py::object native = img.dtype().attr("newbyteorder")("=");
    py::array out =
        py::module_::import("numpy").attr("array")(img, native, py::arg("order") = "C").cast<py::array>();
    if (out.size() == 0) return out;

    kiro::dispatch_dtype(out.dtype(), "image", [&](auto tag) {
        using T = decltype(tag);
        if constexpr (!std::is_same_v<T, bool>) {  // boolean images are refused above
            T* px = static_cast<T*>(out.mutable_data());
            std::vector<T> value;
            if (how == Fill::Value) value.assign(static_cast<size_t>(L.cn), fill_value<T>(fill_type));
            py::gil_scoped_release nogil;
            if (how == Fill::Mean) {
                value = region_mean<T>(px, sel, L);
                if (value.empty()) return;
            }
            paint<T>(px, sel, L, how, value, seed);
        }
    });
    return out;
}

PYBIND11_MODULE(fill_in, m) {
    kiro::register_errors();
    kiro::import_all(m, "kiro.core.KirO");
    g.bind(m);
    m.def("fill_in", &fill_in, py::arg("image"), py::arg("region"), py::arg("fill_type"),
          R"doc(Paint the pixels of `image` where `region` is non-zero; return a new image.

`image` is H x W or H x W x C (integer or real elements), `region` H x W.
`fill_type`:
- DELETED_FILL_MEAN: the per-channel mean of the region's pixels (rounded to
  the nearest value for integer images); an empty region changes nothing.
- DELETED_FILL_RANDOM: independent Gaussian noise per pixel and channel, mean
  128 and standard deviation 64 for integer images (saturated to the type's
  range), mean 0.5 and deviation 0.25 for real images. The noise is seeded by
  one random.getrandbits(64) draw, so random.seed reproduces it.
- an integer (NumPy integer scalars too): that value in every channel; a value
  the element type cannot hold raises ValueError.
Anything else raises ValueError. The result has the input's shape and type;
pixels outside the region keep their values. The input is not modified.)doc");
}
