// Sensor noise: additive Gaussian, salt and pepper, Poisson (shot) and speckle
// noise on an image, with an 8-bit result.
//
// Salt and pepper positions come from NumPy's global generator directly. The
// large fields (normal, Poisson) come from a xoshiro256++ generator seeded by
// one 64-bit integer drawn from NumPy's global generator, so np.random.seed
// reproduces a call. The field is cut into fixed blocks, each with its own
// stream derived from the seed and the block index: the result does not depend
// on how many threads fill it.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "common/arrays.hpp"
#include "common/draws.hpp"
#include "common/elementwise.hpp"
#include "common/errors.hpp"
#include "common/kinds.hpp"

namespace py = pybind11;

namespace {

// ---- generator ------------------------------------------------------------

uint64_t splitmix64(uint64_t& s) {
    uint64_t z = (s += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

class Xoshiro {
public:
    Xoshiro(uint64_t seed, uint64_t stream) {
        uint64_t sm = seed ^ (stream * 0xD1B54A32D192ED03ULL);
        for (auto& w : s_) w = splitmix64(sm);
    }
    uint64_t next() {
        const uint64_t result = rotl(s_[0] + s_[3], 23) + s_[0];
        const uint64_t t = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = rotl(s_[3], 45);
        return result;
    }
    // Uniform in [0, 1), 53 bits.
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

private:
    static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    uint64_t s_[4];
};

// 256-layer ziggurat for the standard normal (layers of equal area V under
// exp(-x^2 / 2), base layer with the tail beyond R).
struct Ziggurat {
    static constexpr double R = 3.6541528853610088;
    static constexpr double V = 0.00492867323399;
    std::array<double, 257> x{};   // right edges; x[0] is the base layer's virtual width
    std::array<double, 256> w{};   // x[i] / 2^53
    std::array<uint64_t, 256> k{}; // accept at once when the 53-bit magnitude < k[i]
    std::array<double, 257> f{};   // exp(-x[i]^2 / 2)

    Ziggurat() {
        const auto pdf = [](double t) { return std::exp(-0.5 * t * t); };
        x[0] = V / pdf(R);
        x[1] = R;
        for (int i = 2; i < 256; ++i) x[i] = std::sqrt(-2.0 * std::log(V / x[i - 1] + pdf(x[i - 1])));
        x[256] = 0.0;
        for (int i = 0; i <= 256; ++i) f[i] = pdf(x[i]);
        for (int i = 0; i < 256; ++i) {
            w[i] = x[i] * 0x1.0p-53;
            k[i] = static_cast<uint64_t>(std::ldexp(x[i + 1] / x[i], 53));
        }
    }

    double operator()(Xoshiro& g) const {
        const uint64_t u = g.next();
        const int i = static_cast<int>(u & 0xFF);
        const uint64_t m = u >> 11;
        // Sign from bit 8, set on the magnitude's bits without a branch.
        const double t = static_cast<double>(static_cast<int64_t>(m)) * w[i];
        if (m < k[i]) return with_sign(t, u);
        return slow(g, i, t, u);
    }

    // n values into out; the generator works on a local copy.
    void fill(Xoshiro& g, double* out, int n) const {
        Xoshiro local = g;
        for (int j = 0; j < n; ++j) out[j] = (*this)(local);
        g = local;
    }

private:
    static double with_sign(double t, uint64_t u) {
        uint64_t bits;
        std::memcpy(&bits, &t, sizeof bits);
        bits |= ((u >> 8) & 1) << 63;
        std::memcpy(&t, &bits, sizeof bits);
        return t;
    }

    double slow(Xoshiro& g, int i, double t, uint64_t u) const {
        for (;;) {
            if (i == 0) {
                // Tail beyond R (Marsaglia).
                double xx, yy;
                do {
                    xx = -std::log(1.0 - g.uniform()) / R;
                    yy = -std::log(1.0 - g.uniform());
                } while (yy + yy < xx * xx);
                return with_sign(R + xx, u);
            }
            if (f[i] + g.uniform() * (f[i + 1] - f[i]) < std::exp(-0.5 * t * t)) return with_sign(t, u);
            u = g.next();
            i = static_cast<int>(u & 0xFF);
            const uint64_t m = u >> 11;
            t = static_cast<double>(static_cast<int64_t>(m)) * w[i];
            if (m < k[i]) return with_sign(t, u);
        }
    }
};

const Ziggurat& ziggurat() {
    static const Ziggurat z;
    return z;
}

// log(k!) for the Poisson rejection test.
double log_factorial(double k) {
    static const double a[10] = {8.333333333333333e-02, -2.777777777777778e-03, 7.936507936507937e-04,
                                 -5.952380952380952e-04, 8.417508417508418e-04, -1.917526917526918e-03,
                                 6.410256410256410e-03, -2.955065359477124e-02, 1.796443723688307e-01,
                                 -1.39243221690590e+00};
    double x = k + 1.0;
    if (x == 1.0 || x == 2.0) return 0.0;
    int n = 0;
    if (x <= 7.0) {
        n = static_cast<int>(7 - x);
        x += n;
    }
    const double x2 = 1.0 / (x * x);
    double gl0 = a[9];
    for (int i = 8; i >= 0; --i) gl0 = gl0 * x2 + a[i];
    double gl = gl0 / x + 0.5 * std::log(2.0 * M_PI) + (x - 0.5) * std::log(x) - x;
    for (int i = 0; i < n; ++i) {
        x -= 1.0;
        gl -= std::log(x);
    }
    return gl;
}

// Poisson sampler for one mean: multiplication method below 10, transformed
// rejection with squeeze (PTRS) from 10 on.
struct Poisson {
    double lam = 0, exp_neg = 1, slam = 0, loglam = 0, a = 0, b = 0, invalpha = 0, vr = 0;
    Poisson() = default;
    explicit Poisson(double mean) : lam(mean) {
        if (lam >= 10) {
            slam = std::sqrt(lam);
            loglam = std::log(lam);
            b = 0.931 + 2.53 * slam;
            a = -0.059 + 0.02483 * b;
            invalpha = 1.1239 + 1.1328 / (b - 3.4);
            vr = 0.9277 - 3.6224 / (b - 2);
        } else {
            exp_neg = std::exp(-lam);
        }
    }
    double operator()(Xoshiro& g) const {
        if (lam == 0) return 0;
        if (lam < 10) {
            double k = 0, prod = 1.0;
            for (;;) {
                prod *= g.uniform();
                if (prod > exp_neg)
                    k += 1;
                else
                    return k;
            }
        }
        for (;;) {
            const double U = g.uniform() - 0.5;
            const double V = g.uniform();
            const double us = 0.5 - std::fabs(U);
            const double k = std::floor((2 * a / us + b) * U + lam + 0.43);
            if (us >= 0.07 && V <= vr) return k;
            if (k < 0 || (us < 0.013 && V > us)) continue;
            if (std::log(V) + std::log(invalpha) - std::log(a / (us * us) + b) <=
                -lam + k * loglam - log_factorial(k))
                return k;
        }
    }
};

// Most a Poisson mean may be (as in NumPy).
constexpr double kPoissonMax = 9.2233720064847708e18;

constexpr py::ssize_t kBlock = 1 << 16;

// Calls f(generator, lo, hi) for fixed blocks [lo, hi) of [0, n), in parallel;
// block b draws from its own stream (seed, b).
template <class F>
void by_blocks(py::ssize_t n, uint64_t seed, F&& f) {
    const py::ssize_t blocks = (n + kBlock - 1) / kBlock;
    cv::parallel_for_(cv::Range(0, static_cast<int>(blocks)), [&](const cv::Range& r) {
        for (int blk = r.start; blk < r.end; ++blk) {
            Xoshiro g(seed, static_cast<uint64_t>(blk));
            const py::ssize_t lo = blk * kBlock;
            f(g, lo, std::min(n, lo + kBlock));
        }
    });
}

// Calls f(i, z) for every i in [0, n) with z a standard normal of block i's stream.
template <class F>
void normal_field(py::ssize_t n, uint64_t seed, F&& f) {
    const Ziggurat& zig = ziggurat();
    by_blocks(n, seed, [&](Xoshiro& g, py::ssize_t lo, py::ssize_t hi) {
        constexpr int kRun = 512;
        double z[kRun];
        for (py::ssize_t i = lo; i < hi; i += kRun) {
            const int len = static_cast<int>(std::min<py::ssize_t>(kRun, hi - i));
            zig.fill(g, z, len);
            for (int j = 0; j < len; ++j) f(i + j, z[j]);
        }
    });
}

// The one draw from NumPy's global generator that seeds a field.
uint64_t draw_seed() {
    py::object np = py::module_::import("numpy");
    py::object v = kiro::draw::numpy_random().attr("randint")(0, py::int_(std::numeric_limits<uint64_t>::max()),
                                                              py::arg("dtype") = np.attr("uint64"));
    return v.cast<uint64_t>();
}

// ---- noise kinds ------------------------------------------------------------

constexpr double kGaussSigma = 0.31622776601683794;  // sqrt(0.1)

py::array gauss_noise(const py::array& image) {
    kiro::require_numeric(image, "image");  // the division by 255
    kiro::unpack3(image);
    const py::array src = kiro::flat_native(image);
    py::array out = kiro::new_u8_like(src);
    const py::ssize_t n = src.size();
    const uint64_t seed = draw_seed();
    auto* o = static_cast<uint8_t*>(out.mutable_data());
    kiro::dispatch_dtype(src.dtype(), "image", [&](auto tag) {
        using T = decltype(tag);
        const T* p = static_cast<const T*>(src.data());
        py::gil_scoped_release nogil;
        if constexpr (std::is_same_v<T, uint8_t>) {
            double scaled[256];
            for (int v = 0; v < 256; ++v) scaled[v] = v / 255.0;
            normal_field(n, seed, [&](py::ssize_t i, double z) {
                o[i] = kiro::clip_u8((scaled[p[i]] + kGaussSigma * z) * 255.0);
            });
        } else {
            normal_field(n, seed, [&](py::ssize_t i, double z) {
                o[i] = kiro::clip_u8((kiro::div255(p[i]) + kGaussSigma * z) * 255.0);
            });
        }
    });
    return out;
}

template <class T>
T salt_value() {
    if constexpr (std::is_same_v<T, bool>)
        return true;
    else
        return static_cast<T>(255);
}

py::array salt_and_pepper(const py::array& image) {
    const auto shape = kiro::unpack3(image);
    kiro::require_numeric(image, "image");
    if (image.dtype().kind() == 'i' && image.itemsize() == 1)
        throw std::overflow_error("image: the salt value 255 is out of bounds for int8");
    py::object np = py::module_::import("numpy");
    py::array out = np.attr("array")(image, py::arg("dtype") = image.dtype().attr("newbyteorder")("="),
                                     py::arg("order") = "C", py::arg("copy") = true)
                        .cast<py::array>();

    const double elements = static_cast<double>(shape[0]) * shape[1] * shape[2];
    const double s_vs_p = 0.5, amount = 0.004;
    const auto num_salt = static_cast<long long>(std::ceil(amount * elements * s_vs_p));
    const auto num_pepper = static_cast<long long>(std::ceil(amount * elements * (1.0 - s_vs_p)));

    // Three position draws per kind, in axis order, over each whole axis.
    using Positions = py::array_t<int64_t, py::array::c_style | py::array::forcecast>;
    py::object randint = kiro::draw::numpy_random().attr("randint");
    std::array<Positions, 3> salt, pepper;
    for (int ax = 0; ax < 3; ++ax) salt[ax] = randint(0, shape[ax], num_salt).cast<Positions>();
    for (int ax = 0; ax < 3; ++ax) pepper[ax] = randint(0, shape[ax], num_pepper).cast<Positions>();

    const py::ssize_t s0 = shape[1] * shape[2], s1 = shape[2];
    kiro::dispatch_dtype(out.dtype(), "image", [&](auto tag) {
        using T = decltype(tag);
        T* o = static_cast<T*>(out.mutable_data());
        const int64_t *sr = salt[0].data(), *sc = salt[1].data(), *sk = salt[2].data();
        const int64_t *pr = pepper[0].data(), *pc = pepper[1].data(), *pk = pepper[2].data();
        py::gil_scoped_release nogil;
        const T white = salt_value<T>();
        for (long long j = 0; j < num_salt; ++j) o[sr[j] * s0 + sc[j] * s1 + sk[j]] = white;
        for (long long j = 0; j < num_pepper; ++j) o[pr[j] * s0 + pc[j] * s1 + pk[j]] = T(0);
    });
    return out;
}

// Count of distinct element values, as numpy.unique would give it.
py::ssize_t distinct_count(const py::array& src) {
    if (src.itemsize() == 1 && src.dtype().kind() != 'f') {
        std::array<bool, 256> seen{};
        const auto* p = static_cast<const uint8_t*>(src.data());
        const py::ssize_t n = src.size();
        {
            py::gil_scoped_release nogil;
            for (py::ssize_t i = 0; i < n; ++i) seen[p[i]] = true;
        }
        return std::count(seen.begin(), seen.end(), true);
    }
    return py::len(py::module_::import("numpy").attr("unique")(src));
}

py::array poisson_noise(const py::array& image) {
    kiro::require_numeric(image, "image");
    const py::array src = kiro::flat_native(image);
    const py::ssize_t n = src.size();
    const double vals = std::pow(2.0, std::ceil(std::log2(static_cast<double>(distinct_count(src)))));
    py::array out = kiro::new_u8_like(src);
    auto* o = static_cast<uint8_t*>(out.mutable_data());

    kiro::dispatch_dtype(src.dtype(), "image", [&](auto tag) {
        using T = decltype(tag);
        const T* p = static_cast<const T*>(src.data());
        if constexpr (std::is_same_v<T, uint8_t> || std::is_same_v<T, bool>) {
            const uint64_t seed = draw_seed();
            std::array<Poisson, 256> law;
            for (int v = 0; v < 256; ++v) law[v] = Poisson(v * vals);
            py::gil_scoped_release nogil;
            by_blocks(n, seed, [&](Xoshiro& g, py::ssize_t lo, py::ssize_t hi) {
                for (py::ssize_t i = lo; i < hi; ++i) o[i] = kiro::clip_u8(law[static_cast<uint8_t>(p[i])](g) / vals);
            });
        } else {
            // Means are checked before anything is drawn.
            int bad = 0;
            {
                py::gil_scoped_release nogil;
                for (py::ssize_t i = 0; i < n && !bad; ++i) {
                    const double lam = static_cast<double>(p[i]) * vals;
                    if (!(lam >= 0)) bad = 1;
                    else if (lam > kPoissonMax) bad = 2;
                }
            }
            if (bad == 1) throw py::value_error("lam < 0 or lam is NaN");
            if (bad == 2) throw py::value_error("lam value too large");
            const uint64_t seed = draw_seed();
            py::gil_scoped_release nogil;
            by_blocks(n, seed, [&](Xoshiro& g, py::ssize_t lo, py::ssize_t hi) {
                for (py::ssize_t i = lo; i < hi; ++i)
                    o[i] = kiro::clip_u8(Poisson(static_cast<double>(p[i]) * vals)(g) / vals);
            });
        }
    });
    return out;
}

py::array speckle_noise(const py::array& image) {
    kiro::unpack3(image);
    kiro::require_numeric(image, "image");
    const py::array src = kiro::flat_native(image);
    py::array out = kiro::new_u8_like(src);
    const py::ssize_t n = src.size();
    const uint64_t seed = draw_seed();
    auto* o = static_cast<uint8_t*>(out.mutable_data());
    kiro::dispatch_dtype(src.dtype(), "image", [&](auto tag) {
        using T = decltype(tag);
        const T* p = static_cast<const T*>(src.data());
        py::gil_scoped_release nogil;
        normal_field(n, seed, [&](py::ssize_t i, double z) {
            const double x = static_cast<double>(p[i]);
            o[i] = kiro::clip_u8(x + x * z);
        });
    });
    return out;
}

}  // namespace

py::object generate_noisy(py::object image, py::object noise_typ) {
    if (!noise_typ.is_none() && !kiro::is_text(noise_typ))
        throw py::type_error("generate_noisy(): argument 'noise_typ' must be str or None, not " +
                             std::string(py::str(py::type::handle_of(noise_typ).attr("__name__"))));
    if (noise_typ.is_none()) return py::none();
    const std::string kind = noise_typ.cast<std::string>();
    if (kind == "gauss") return gauss_noise(kiro::as_ndarray(image, "image"));
    if (kind == "s&p") return salt_and_pepper(kiro::as_ndarray(image, "image"));
    if (kind == "poisson") return poisson_noise(kiro::as_ndarray(image, "image"));
    if (kind == "speckle") return speckle_noise(kiro::as_ndarray(image, "image"));
    return py::none();
}

PYBIND11_MODULE(vorlat, m) {
    kiro::register_errors();
    m.doc() = "Simulated night-time sensor noise on an image.";
    m.def("generate_noisy", &generate_noisy, py::arg("image"), py::arg("noise_typ"),
          R"doc(Add one kind of sensor noise to `image` and return the result.

`noise_typ` (exactly, case-sensitive):

- "gauss": additive normal noise with mean 0 and variance 0.1 on the image
  divided by 255, scaled back, clipped to [0, 255]; uint8 result.
- "s&p": a copy with the input's element type, where ceil(0.004 * size * 0.5)
  elements are set to 255 (salt) and as many, drawn afterwards, to 0 (pepper);
  positions are drawn per axis (rows, columns, channels) over the whole axis.
- "poisson": each element becomes Poisson(x * vals) / vals, vals being the
  count of distinct values rounded up to a power of two; any shape; uint8.
- "speckle": x + x * n with n standard normal, clipped; uint8 result.

Any other text, or None, returns None. "gauss", "s&p" and "speckle" need a
height x width x channels image. The input is never modified.

Random draws: "s&p" makes its six position draws with numpy.random.randint.
"gauss", "poisson" and "speckle" draw one 64-bit seed with numpy.random.randint
and fill the field from xoshiro256++ streams derived from it (ziggurat normal,
Poisson by multiplication below mean 10, by transformed rejection above), so
numpy.random.seed makes a call reproducible.)doc");
    m.def(
        "create_gaussian_mask", []() { return py::none(); },
        "Does nothing and returns None.");
}
