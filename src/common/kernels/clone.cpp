// Poisson solve of the seamless clone (see common/clone.hpp).
//
// The right-hand side is the divergence of the guidance field minus the
// boundary ring; the system is the 5-point Laplacian with zero Dirichlet
// boundary on the H x W inside, diagonalised by the sine transform
// S_k = sum_n x_n sin(pi (k + 1) (n + 1) / (N + 1)) along both axes and divided
// by its eigenvalues (formed in float, as OpenCV does: their rounding moves
// values near whole levels). Each sine transform is a chirp convolution on a
// mixed-radix (4, 2, 3, 5) FFT of a smooth length >= 3N + 1, so its cost grows
// smoothly with N whatever N's prime factors. The transforms run in double on
// 32 complex lanes (64 columns) at a time; every inner loop runs over
// contiguous lanes, so the compiler vectorises it for the target.
#include "common/clone.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

namespace kiro {
namespace KIRO_ISA {
namespace {

// A heap buffer local to this file (no shared inline template code with the
// other instruction-set build).
template <class T>
struct Buf {
    T* p = nullptr;
    explicit Buf(size_t n) {
        p = static_cast<T*>(std::aligned_alloc(64, ((n * sizeof(T) + 63) / 64) * 64 + 64));
        if (!p) throw std::bad_alloc();
    }
    ~Buf() { std::free(p); }
    Buf(const Buf&) = delete;
    Buf& operator=(const Buf&) = delete;
    T& operator[](size_t i) { return p[i]; }
    const T& operator[](size_t i) const { return p[i]; }
};

constexpr double kPi = 3.14159265358979323846;
constexpr int kLanes = 32;  // complex lanes per FFT batch (64 real columns)

// Lengths made of the radices, with at most 2^4: larger powers of two put
// the passes' strides on the same cache sets.
bool fast_length(int n) {
    int twos = 0;
    while (n % 2 == 0) n /= 2, ++twos;
    for (int f : {3, 5})
        while (n % f == 0) n /= f;
    return n == 1 && twos <= 4;
}

int next_fast_length(int n) {
    while (!fast_length(n)) ++n;
    return n;
}

using real = double;

// ------------------------------------------------------------ batched FFT

// Mixed-radix (4, 2, 3, 5) Stockham FFT, forward (e^{-2 pi i jk / n}), on
// `lanes` independent sequences stored element-major: element j of lane l at
// [j * lanes + l], real and imaginary parts in separate arrays.
struct Pass {
    int radix, m, s;  // m = n_pass / radix; s = product of the radices before
    Buf<real>* wr;   // twiddles W^{t p} (p < m, t = 1 .. radix-1) at [p * (radix - 1) + t - 1]
    Buf<real>* wi;
};

struct Fft {
    int n = 0, count = 0;
    Pass pass[40];
    explicit Fft(int n_) : n(n_) {
        int rest = n, s = 1;
        while (rest > 1) {
            int r = rest % 4 == 0 ? 4 : rest % 2 == 0 ? 2 : rest % 3 == 0 ? 3 : 5;
            Pass& p = pass[count++];
            p.radix = r, p.m = rest / r, p.s = s;
            const size_t nt = static_cast<size_t>(p.m) * (r - 1) + 1;
            p.wr = new Buf<real>(nt), p.wi = new Buf<real>(nt);
            for (int q = 0; q < p.m; ++q)
                for (int t = 1; t < r; ++t) {
                    const double a = -2.0 * kPi * static_cast<double>(t) * q / rest;
                    (*p.wr)[q * (r - 1) + t - 1] = static_cast<real>(std::cos(a));
                    (*p.wi)[q * (r - 1) + t - 1] = static_cast<real>(std::sin(a));
                }
            rest /= r, s *= r;
        }
    }
    ~Fft() {
        for (int i = 0; i < count; ++i) delete pass[i].wr, delete pass[i].wi;
    }
    Fft(const Fft&) = delete;
    Fft& operator=(const Fft&) = delete;
};

inline void twiddle(real& re, real& im, real wr, real wi) {
    const real r = re * wr - im * wi;
    im = re * wi + im * wr;
    re = r;
}

// One radix-r butterfly column: inputs at x + j * mb, outputs at y + t * blk,
// n contiguous lanes each; output t > 0 multiplied by the twiddle w[t - 1].
#define KIRO_BF_ARGS                                                                                 \
    const real* __restrict xr, const real* __restrict xi, real* __restrict yr, real* __restrict yi, \
        size_t mb, size_t blk, int n, const real* __restrict w_r, const real* __restrict w_i

void bf2(KIRO_BF_ARGS) {
    const real wr = w_r[0], wi = w_i[0];
#pragma GCC ivdep
    for (int k = 0; k < n; ++k) {
        const real a_r = xr[k], a_i = xi[k], b_r = xr[k + mb], b_i = xi[k + mb];
        yr[k] = a_r + b_r, yi[k] = a_i + b_i;
        const real dr = a_r - b_r, di = a_i - b_i;
        yr[k + blk] = dr * wr - di * wi, yi[k + blk] = dr * wi + di * wr;
    }
}

void bf4(KIRO_BF_ARGS) {
    const real w1r = w_r[0], w1i = w_i[0], w2r = w_r[1], w2i = w_i[1], w3r = w_r[2], w3i = w_i[2];
#pragma GCC ivdep
    for (int k = 0; k < n; ++k) {
        const real a0r = xr[k], a0i = xi[k];
        const real a1r = xr[k + mb], a1i = xi[k + mb];
        const real a2r = xr[k + 2 * mb], a2i = xi[k + 2 * mb];
        const real a3r = xr[k + 3 * mb], a3i = xi[k + 3 * mb];
        const real s02r = a0r + a2r, s02i = a0i + a2i, d02r = a0r - a2r, d02i = a0i - a2i;
        const real s13r = a1r + a3r, s13i = a1i + a3i, d13r = a1r - a3r, d13i = a1i - a3i;
        // b1 = d02 - i d13, b3 = d02 + i d13
        const real b1r = d02r + d13i, b1i = d02i - d13r;
        const real b2r = s02r - s13r, b2i = s02i - s13i;
        const real b3r = d02r - d13i, b3i = d02i + d13r;
        yr[k] = s02r + s13r, yi[k] = s02i + s13i;
        yr[k + blk] = b1r * w1r - b1i * w1i, yi[k + blk] = b1r * w1i + b1i * w1r;
        yr[k + 2 * blk] = b2r * w2r - b2i * w2i, yi[k + 2 * blk] = b2r * w2i + b2i * w2r;
        yr[k + 3 * blk] = b3r * w3r - b3i * w3i, yi[k + 3 * blk] = b3r * w3i + b3i * w3r;
    }
}

void bf3(KIRO_BF_ARGS) {
    const real h = static_cast<real>(0.86602540378443864676);
    const real w1r = w_r[0], w1i = w_i[0], w2r = w_r[1], w2i = w_i[1];
#pragma GCC ivdep
    for (int k = 0; k < n; ++k) {
        const real a0r = xr[k], a0i = xi[k];
        const real a1r = xr[k + mb], a1i = xi[k + mb];
        const real a2r = xr[k + 2 * mb], a2i = xi[k + 2 * mb];
        const real tr = a1r + a2r, ti = a1i + a2i;
        const real mr = a0r - real(0.5) * tr, mi = a0i - real(0.5) * ti;
        // (a1 - a2) * (-i h)
        const real nr = h * (a1i - a2i), ni = -h * (a1r - a2r);
        const real b1r = mr + nr, b1i = mi + ni, b2r = mr - nr, b2i = mi - ni;
        yr[k] = a0r + tr, yi[k] = a0i + ti;
        yr[k + blk] = b1r * w1r - b1i * w1i, yi[k + blk] = b1r * w1i + b1i * w1r;
        yr[k + 2 * blk] = b2r * w2r - b2i * w2i, yi[k + 2 * blk] = b2r * w2i + b2i * w2r;
    }
}

void bf5(KIRO_BF_ARGS) {
    const real c1 = static_cast<real>(0.30901699437494742410), c2 = static_cast<real>(-0.80901699437494742410);
    const real s1 = static_cast<real>(0.95105651629515357212), s2 = static_cast<real>(0.58778525229247312917);
    const real w1r = w_r[0], w1i = w_i[0], w2r = w_r[1], w2i = w_i[1];
    const real w3r = w_r[2], w3i = w_i[2], w4r = w_r[3], w4i = w_i[3];
#pragma GCC ivdep
    for (int k = 0; k < n; ++k) {
        const real a0r = xr[k], a0i = xi[k];
        const real a1r = xr[k + mb], a1i = xi[k + mb];
        const real a2r = xr[k + 2 * mb], a2i = xi[k + 2 * mb];
        const real a3r = xr[k + 3 * mb], a3i = xi[k + 3 * mb];
        const real a4r = xr[k + 4 * mb], a4i = xi[k + 4 * mb];
        const real t1r = a1r + a4r, t1i = a1i + a4i, t2r = a2r + a3r, t2i = a2i + a3i;
        const real t3r = a1r - a4r, t3i = a1i - a4i, t4r = a2r - a3r, t4i = a2i - a3i;
        const real m1r = a0r + c1 * t1r + c2 * t2r, m1i = a0i + c1 * t1i + c2 * t2i;
        const real m2r = a0r + c2 * t1r + c1 * t2r, m2i = a0i + c2 * t1i + c1 * t2i;
        // n1 = -i (s1 t3 + s2 t4), n2 = -i (s2 t3 - s1 t4)
        const real u1r = s1 * t3r + s2 * t4r, u1i = s1 * t3i + s2 * t4i;
        const real u2r = s2 * t3r - s1 * t4r, u2i = s2 * t3i - s1 * t4i;
        const real b1r = m1r + u1i, b1i = m1i - u1r, b4r = m1r - u1i, b4i = m1i + u1r;
        const real b2r = m2r + u2i, b2i = m2i - u2r, b3r = m2r - u2i, b3i = m2i + u2r;
        yr[k] = a0r + t1r + t2r, yi[k] = a0i + t1i + t2i;
        yr[k + blk] = b1r * w1r - b1i * w1i, yi[k + blk] = b1r * w1i + b1i * w1r;
        yr[k + 2 * blk] = b2r * w2r - b2i * w2i, yi[k + 2 * blk] = b2r * w2i + b2i * w2r;
        yr[k + 3 * blk] = b3r * w3r - b3i * w3i, yi[k + 3 * blk] = b3r * w3i + b3i * w3r;
        yr[k + 4 * blk] = b4r * w4r - b4i * w4i, yi[k + 4 * blk] = b4r * w4i + b4i * w4r;
    }
}

// One Stockham pass of radix P.radix from x to y.
void pass(const Pass& P, int lanes, const real* xr, const real* xi, real* yr, real* yi) {
    const int r = P.radix, m = P.m, blk = P.s * lanes;
    const size_t mb = static_cast<size_t>(m) * blk;
    void (*bf)(KIRO_BF_ARGS) = r == 4 ? bf4 : r == 2 ? bf2 : r == 3 ? bf3 : bf5;
    for (int q = 0; q < m; ++q) {
        const size_t in = static_cast<size_t>(q) * blk, out = static_cast<size_t>(r) * q * blk;
        bf(xr + in, xi + in, yr + out, yi + out, mb, static_cast<size_t>(blk), blk, P.wr->p + q * (r - 1),
           P.wi->p + q * (r - 1));
    }
}

// Forward FFT of (xr, xi); (tr, ti) is scratch of the same size. The result
// ends in x when the function returns false, in t when it returns true.
bool fft(const Fft& F, int lanes, real* xr, real* xi, real* tr, real* ti) {
    bool in_t = false;
    for (int i = 0; i < F.count; ++i) {
        const Pass& P = F.pass[i];
        real *ar = in_t ? tr : xr, *ai = in_t ? ti : xi, *br = in_t ? xr : tr, *bi = in_t ? xi : ti;
        pass(P, lanes, ar, ai, br, bi);
        in_t = !in_t;
    }
    return in_t;
}

// ------------------------------------------------------------ sine transform

// Sine transform of length N through a chirp convolution (Bluestein), the
// same work for every N: with M = 2 (N + 1), W = exp(-2 pi i / M) and
// c_j = W^(j^2 / 2), the DFT of the odd extension of z is
//   Z_k = G_k - G_-k,  G_k = sum_{n=1..N} z_n W^(nk) = c_k sum_n (z_n c_n) conj(c_(k-n)),
// a linear convolution whose outputs k in [-N, N] are exact in a cyclic one
// of any length P >= 3N + 1 (one the FFT is quick on). Two real columns share a complex lane:
// Z_k = -2i S_re(k - 1) + 2 S_im(k - 1).
struct Sine {
    int N, M, P;
    Fft fft_p;
    Buf<real> cr, ci;  // c_j, j <= N
    Buf<real> br, bi;  // FFT of conj(c_j), j in [-2N, N - 1] cyclic over P, times 1 / P
    explicit Sine(int N_)
        : N(N_), M(2 * (N_ + 1)), P(next_fast_length(3 * N_ + 1)), fft_p(P), cr(N_ + 1), ci(N_ + 1), br(P), bi(P) {
        auto angle = [this](long long j) {
            const long long e = (j * j) % (2LL * M);
            return -kPi * static_cast<double>(e) / M;
        };
        for (int j = 0; j <= N; ++j) {
            const double a = angle(j);
            cr[j] = static_cast<real>(std::cos(a)), ci[j] = static_cast<real>(std::sin(a));
        }
        Buf<real> xr(P), xi(P), tr(P), ti(P);
        for (int j = 0; j < P; ++j) xr[j] = xi[j] = 0;
        for (long long j = -2LL * N; j < N; ++j) {
            const double a = -angle(j);
            const long long at = (j + P) % P;
            xr[at] = static_cast<real>(std::cos(a)), xi[at] = static_cast<real>(std::sin(a));
        }
        const bool in_t = fft(fft_p, 1, xr.p, xi.p, tr.p, ti.p);
        const real* rr = in_t ? tr.p : xr.p;
        const real* ri = in_t ? ti.p : xi.p;
        const real scale = real(1) / static_cast<real>(P);
        for (int j = 0; j < P; ++j) br[j] = rr[j] * scale, bi[j] = ri[j] * scale;
    }
};

// Sine transform along the rows of the R x C matrix `a` (row stride C), for
// every column, in place, times `scale`.
// `scratch` holds 4 * P * (kLanes + 4) values.
void sine_rows(const Sine& T, real* a, int C, real scale, real* scratch) {
    const int R = T.N, P = T.P;
    const size_t block = static_cast<size_t>(P) * (kLanes + 4);
    real *xr = scratch, *xi = scratch + block, *tr = scratch + 2 * block, *ti = scratch + 3 * block;
    const real half = real(0.5) * scale;
    for (int c0 = 0; c0 < C; c0 += 2 * kLanes) {
        // lanes 0..L-1: columns c0.., real part; columns c0+L.., imaginary part
        const int L = std::min(kLanes, (C - c0 + 1) / 2);
        const int nb = std::min(L, C - c0 - L);  // columns in the imaginary part
        // element stride: L rounded up to whole 32-byte groups, an odd number of
        // them, so the passes' strides do not fall on the same cache sets
        size_t Ls = (static_cast<size_t>(L) + 3) / 4 * 4;
        if ((Ls / 4) % 2 == 0) Ls += 4;
        std::memset(xr, 0, Ls * sizeof(real));
        std::memset(xi, 0, Ls * sizeof(real));
        for (int n = 1; n <= R; ++n) {
            const real* row = a + static_cast<size_t>(n - 1) * C + c0;
            const real wr = T.cr[n], wi = T.ci[n];
            real *p = xr + n * Ls, *q = xi + n * Ls;
            for (int l = 0; l < nb; ++l) {
                const real u = row[l], v = row[L + l];
                p[l] = u * wr - v * wi, q[l] = u * wi + v * wr;
            }
            for (int l = nb; l < L; ++l) p[l] = row[l] * wr, q[l] = row[l] * wi;
            for (size_t l = L; l < Ls; ++l) p[l] = 0, q[l] = 0;
        }
        std::memset(xr + (R + 1) * Ls, 0, (P - R - 1) * Ls * sizeof(real));
        std::memset(xi + (R + 1) * Ls, 0, (P - R - 1) * Ls * sizeof(real));
        bool in_t = fft(T.fft_p, static_cast<int>(Ls), xr, xi, tr, ti);
        real *ar = in_t ? tr : xr, *ai = in_t ? ti : xi, *sr = in_t ? xr : tr, *si = in_t ? xi : ti;
        for (int j = 0; j < P; ++j) {
            const real wr = T.br[j], wi = T.bi[j];
            real *u = ar + j * Ls, *v = ai + j * Ls;
            for (size_t l = 0; l < Ls; ++l) twiddle(u[l], v[l], wr, wi);
        }
        // inverse through swapped real and imaginary parts
        in_t = fft(T.fft_p, static_cast<int>(Ls), ai, ar, si, sr);
        const real* zr = in_t ? sr : ar;
        const real* zi = in_t ? si : ai;
        for (int k = 1; k <= R; ++k) {
            real* row = a + static_cast<size_t>(k - 1) * C + c0;
            const real wr = T.cr[k], wi = T.ci[k];
            const real *pr = zr + k * Ls, *pi = zi + k * Ls;
            const real *mr = zr + (P - k) * Ls, *mi = zi + (P - k) * Ls;
            for (int l = 0; l < L; ++l) {
                const real dr = pr[l] - mr[l], di = pi[l] - mi[l];
                const real re = dr * wr - di * wi, im = dr * wi + di * wr;
                row[l] = -half * im;
                if (l < nb) row[L + l] = half * re;
            }
        }
    }
}

// 2 / (n + 1), the inverse sine transform's factor, with the float rounding
// of OpenCV's scaled inverse DFT of length 2 (n + 1): it shifts every value by
// a fixed fraction, which decides the cut to whole levels where the solution
// is (nearly) whole.
real inverse_scale(int n) {
    return static_cast<real>(4.0 * static_cast<double>(static_cast<float>(1.0 / (2.0 * (n + 1)))));
}

void transpose(const real* a, int rows, int cols, real* t) {
    constexpr int T = 32;
    for (int i0 = 0; i0 < rows; i0 += T)
        for (int j0 = 0; j0 < cols; j0 += T) {
            const int i1 = std::min(rows, i0 + T), j1 = std::min(cols, j0 + T);
            for (int i = i0; i < i1; ++i)
                for (int j = j0; j < j1; ++j) t[static_cast<size_t>(j) * rows + i] = a[static_cast<size_t>(i) * cols + j];
        }
}

}  // namespace

void poisson_clone(const CloneJob& J) {
    const int h = J.h, w = J.w, H = h - 2, W = w - 2;
    const size_t plane = static_cast<size_t>(h) * w;
    // Mask weights as OpenCV converts them: e * (1/255) and (255 - e) * (1/255) in float.
    const float inv255 = static_cast<float>(1.0 / 255.0);
    Buf<float> m(plane), mi(plane), gx(plane), gy(plane);
    Buf<real> f(static_cast<size_t>(H) * W), t(static_cast<size_t>(H) * W);
    Buf<float> rhs(static_cast<size_t>(H) * W), edge(W);
    for (int y = 0; y < h; ++y) {
        const uint8_t* e = J.weight + y * J.weight_step;
        for (int x = 0; x < w; ++x) {
            m[y * w + x] = static_cast<float>(e[x]) * inv255;
            mi[y * w + x] = static_cast<float>(255 - e[x]) * inv255;
        }
    }
    // Eigenvalues of the 5-point Laplacian in sine space, in float as OpenCV
    // forms them (their rounding decides values near a whole level).
    Buf<float> fx(W), fy(H);
    for (int i = 0; i < W; ++i) fx[i] = 2.0f * static_cast<float>(std::cos(kPi / (w - 1) * (i + 1)));
    for (int j = 0; j < H; ++j) fy[j] = 2.0f * static_cast<float>(std::cos(kPi / (h - 1) * (j + 1)));

    const Sine sy(H), sx(W);
    Buf<real> scratch(4 * static_cast<size_t>(std::max(sy.P, sx.P)) * (kLanes + 4));

    for (int ch = 0; ch < 3; ++ch) {
        // Guidance field: gx over x < w-1, gy over y < h-1 (forward differences).
        for (int y = 0; y < h; ++y) {
            const uint8_t* d = J.dst + y * J.dst_step;
            const uint8_t* dn = J.dst + std::min(y + 1, h - 1) * J.dst_step;
            const uint8_t* s = J.src + y * J.src_step;
            const uint8_t* sn = J.src + std::min(y + 1, h - 1) * J.src_step;
            const uint8_t* g = J.grey ? J.grey + y * J.grey_step : nullptr;
            const uint8_t* gn = J.grey ? J.grey + std::min(y + 1, h - 1) * J.grey_step : nullptr;
            float* ox = gx.p + static_cast<size_t>(y) * w;
            float* oy = gy.p + static_cast<size_t>(y) * w;
            const float* my = m.p + static_cast<size_t>(y) * w;
            const float* miy = mi.p + static_cast<size_t>(y) * w;
            for (int x = 0; x < w; ++x) {
                const int xn = std::min(x + 1, w - 1);
                const float dgx = static_cast<float>(d[xn * 3 + ch]) - d[x * 3 + ch];
                const float dgy = static_cast<float>(dn[x * 3 + ch]) - d[x * 3 + ch];
                float pgx, pgy;
                if (J.flag == cv::MONOCHROME_TRANSFER) {
                    pgx = static_cast<float>(g[xn]) - g[x];
                    pgy = static_cast<float>(gn[x]) - g[x];
                } else {
                    pgx = static_cast<float>(s[xn * 3 + ch]) - s[x * 3 + ch];
                    pgy = static_cast<float>(sn[x * 3 + ch]) - s[x * 3 + ch];
                    if (J.flag == cv::MIXED_CLONE && !(std::fabs(pgx - pgy) > std::fabs(dgx - dgy)))
                        pgx = dgx, pgy = dgy;
                }
                ox[x] = dgx * miy[x] + pgx * my[x];
                oy[x] = dgy * miy[x] + pgy * my[x];
            }
        }
        // Right-hand side: divergence minus the boundary ring's neighbours, in
        // float as OpenCV forms it.
        for (int y = 1; y <= H; ++y) {
            const float* ox = gx.p + static_cast<size_t>(y) * w;
            const float* oy = gy.p + static_cast<size_t>(y) * w;
            const float* oyp = gy.p + static_cast<size_t>(y - 1) * w;
            const uint8_t* d = J.dst + y * J.dst_step;
            const uint8_t* up = J.dst + (y - 1) * J.dst_step;
            const uint8_t* down = J.dst + (y + 1) * J.dst_step;
            float* row = rhs.p + static_cast<size_t>(y - 1) * W;
            for (int x = 1; x <= W; ++x) row[x - 1] = (ox[x] - ox[x - 1]) + (oy[x] - oyp[x]);
            float* ring = edge.p;
            for (int x = 0; x < W; ++x) ring[x] = 0.0f;
            ring[0] += d[ch];
            ring[W - 1] += d[(w - 1) * 3 + ch];
            if (y == 1)
                for (int x = 1; x <= W; ++x) ring[x - 1] += up[x * 3 + ch];
            if (y == H)
                for (int x = 1; x <= W; ++x) ring[x - 1] += down[x * 3 + ch];
            real* out = f.p + static_cast<size_t>(y - 1) * W;
            for (int x = 0; x < W; ++x) out[x] = static_cast<real>(row[x] - ring[x]);
        }
        // Solve: sine transform along y, then x; divide; back along x, then y.
        sine_rows(sy, f.p, W, real(1), scratch.p);
        transpose(f.p, H, W, t.p);
        sine_rows(sx, t.p, H, real(1), scratch.p);
        for (int i = 0; i < W; ++i) {
            real* row = t.p + static_cast<size_t>(i) * H;
            const float fi = fx[i];
            for (int j = 0; j < H; ++j) row[j] /= static_cast<real>((fi + fy[j]) - 4.0f);
        }
        sine_rows(sx, t.p, H, inverse_scale(W), scratch.p);
        transpose(t.p, W, H, f.p);
        sine_rows(sy, f.p, W, inverse_scale(H), scratch.p);
        // Out: the ring from the destination, the inside clamped and cut toward zero.
        for (int y = 0; y < h; ++y) {
            const uint8_t* d = J.dst + y * J.dst_step;
            uint8_t* o = J.out + y * J.out_step;
            if (y == 0 || y == h - 1) {
                for (int x = 0; x < w; ++x) o[x * 3 + ch] = d[x * 3 + ch];
                continue;
            }
            o[ch] = d[ch];
            o[(w - 1) * 3 + ch] = d[(w - 1) * 3 + ch];
            const real* u = f.p + static_cast<size_t>(y - 1) * W;
            for (int x = 1; x <= W; ++x) {
                const real v = u[x - 1];
                o[x * 3 + ch] = v < real(0) ? 0 : v > real(255) ? 255 : static_cast<uint8_t>(v);
            }
        }
    }
}

}  // namespace KIRO_ISA
}  // namespace kiro
