// Shake kernel (see common/shake.hpp): translation warp, blend and 3 x 3
// Gaussian, streamed row by row through a ring of three filtered rows.
#include <opencv2/core.hpp>
#include <opencv2/core/hal/intrin.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace kiro {
namespace KIRO_ISA {

using namespace cv;

namespace {

// cv::warpAffine's fixed point: coordinates in 1/1024 pixel, rounded to
// 1/32 pixel; weights (32 - f) and f per axis, products over 1024.
constexpr int kAbScale = 1 << 10;
constexpr int kRoundDelta = kAbScale / 32 / 2;

// 3 x 3 Gaussian of sigma 2 in 8-bit fixed point: 82, 92, 82 over 256.
constexpr uint32_t kSide = 82, kCentre = 92;
// The same taps read at run time for the vector loops: one multiply each,
// where the compiler would otherwise unfold a constant into shifts and adds.
volatile uint16_t taps[2] = {kSide, kCentre};

struct Geometry {
    const uint8_t* src;
    size_t step;
    int rows, cols, cn;
    double M[6];  // inverse map, as the warp computes it
};

// Warped row `y` of the translated image (constant border 0): element i is
// row[i] for i in [begin, end) and 0 elsewhere. With a pure translation
// every pixel of a row shares its fractions, and source column sx0 + x feeds
// destination column x; a whole-pixel shift reads the source row in place,
// otherwise the row is interpolated into `out`.
struct Warped {
    const uint8_t* row;
    int begin, end;
};

Warped translated_row(const Geometry& g, int y, uint8_t* out, uint8_t* pad) {
    const int n = g.cols * g.cn, cn = g.cn;
    const int X0 = saturate_cast<int>((g.M[1] * y + g.M[2]) * kAbScale) + kRoundDelta;
    const int Y0 = saturate_cast<int>((g.M[4] * y + g.M[5]) * kAbScale) + kRoundDelta;
    const int xs = X0 >> 5, ys = Y0 >> 5;
    const int fx = xs & 31, fy = ys & 31;
    const long long sx0 = xs >> 5, sy = ys >> 5;
    // Columns whose source pixel sx0 + x lies in [-1, cols - 1]; the rest are border.
    const long long lo = std::max<long long>(0, -1 - sx0), hi = std::min<long long>(g.cols, g.cols - sx0);
    if (sy >= g.rows || sy + 1 < 0 || lo >= hi) return {out, 0, 0};
    if (fx == 0 && fy == 0) {
        // Weight 1 on the top-left neighbour: source pixel sx0 + x of row sy.
        if (sy < 0) return {out, 0, 0};
        const long long first = std::max<long long>(lo, -sx0);
        return {g.src + sy * g.step + sx0 * cn, static_cast<int>(first * cn), static_cast<int>(hi * cn)};
    }
    // Rows sy and sy + 1 with one black pixel on either side (zeros off the image).
    const size_t padded = static_cast<size_t>(g.cols + 2) * cn;
    uint8_t* p[2] = {pad, pad + padded};
    for (int k = 0; k < 2; ++k) {
        const long long r = sy + k;
        std::memset(p[k], 0, cn);
        std::memset(p[k] + padded - cn, 0, cn);
        if (r >= 0 && r < g.rows)
            std::memcpy(p[k] + cn, g.src + r * g.step, n);
        else
            std::memset(p[k] + cn, 0, n);
    }
    std::memset(out, 0, lo * cn);
    std::memset(out + hi * cn, 0, (g.cols - hi) * cn);
    const uint8_t* a = p[0] + (sx0 + 1) * cn;  // a[i]: top-left source of element i
    const uint8_t* c = p[1] + (sx0 + 1) * cn;
    const int i0 = static_cast<int>(lo * cn), i1 = static_cast<int>(hi * cn);
    if (fy == 0) {
        const uint16_t w0 = 32 - fx, w1 = fx;
        for (int i = i0; i < i1; ++i) out[i] = static_cast<uint8_t>((w0 * a[i] + w1 * a[i + cn] + 16) >> 5);
    } else if (fx == 0) {
        const uint16_t w0 = 32 - fy, w1 = fy;
        for (int i = i0; i < i1; ++i) out[i] = static_cast<uint8_t>((w0 * a[i] + w1 * c[i] + 16) >> 5);
    } else {
        const uint32_t w00 = (32 - fx) * (32 - fy), w01 = fx * (32 - fy), w10 = (32 - fx) * fy, w11 = fx * fy;
        for (int i = i0; i < i1; ++i)
            out[i] = static_cast<uint8_t>((w00 * a[i] + w01 * a[i + cn] + w10 * c[i] + w11 * c[i + cn] + 512) >> 10);
    }
    return {out, 0, n};
}

// Row of the 3-tap horizontal pass, BORDER_REFLECT_101, in 1/256 units.
void horizontal(const uint8_t* b, int cols, int cn, uint16_t* h) {
    const int n = cols * cn;
    if (cols == 1) {
        for (int k = 0; k < cn; ++k) h[k] = static_cast<uint16_t>(256 * b[k]);
        return;
    }
    for (int k = 0; k < cn; ++k) h[k] = static_cast<uint16_t>(kCentre * b[k] + kSide * 2 * b[cn + k]);
    int i = cn;
#if CV_SIMD
    const int lanes = v_uint16::nlanes;
    const v_uint16 side = vx_setall_u16(taps[0]), centre = vx_setall_u16(taps[1]);
    for (; i <= n - cn - lanes; i += lanes)
        v_store(h + i, v_mul_wrap(vx_load_expand(b + i - cn) + vx_load_expand(b + i + cn), side) +
                           v_mul_wrap(vx_load_expand(b + i), centre));
#endif
    for (; i < n - cn; ++i) h[i] = static_cast<uint16_t>(kCentre * b[i] + kSide * (b[i - cn] + b[i + cn]));
    for (i = n - cn; i < n; ++i) h[i] = static_cast<uint16_t>(kCentre * b[i] + kSide * 2 * b[i - cn]);
}

// (82 h0 + 92 h1 + 82 h2 + 2^15) >> 16, in 32-bit lanes.
void vertical(const uint16_t* h0, const uint16_t* h1, const uint16_t* h2, int n, uint8_t* out) {
    int i = 0;
#if CV_SIMD
    const int lanes = v_uint32::nlanes;
    const v_uint32 side = vx_setall_u32(taps[0]), centre = vx_setall_u32(taps[1]), half = vx_setall_u32(1 << 15);
    for (; i <= n - 4 * lanes; i += 4 * lanes) {
        v_uint32 r[4];
        for (int k = 0; k < 4; ++k) {
            const int j = i + k * lanes;
            const v_uint32 outer = vx_load_expand(h0 + j) + vx_load_expand(h2 + j);
            r[k] = (outer * side + vx_load_expand(h1 + j) * centre + half) >> 16;
        }
        v_store(out + i, v_pack(v_pack(r[0], r[1]), v_pack(r[2], r[3])));
    }
#endif
    for (; i < n; ++i)
        out[i] = static_cast<uint8_t>((kSide * (uint32_t(h0[i]) + h2[i]) + kCentre * h1[i] + 32768) >> 16);
}

}  // namespace

// round(0.7f * a + 0.3f * b), as cv::addWeighted computes it for 8-bit
// elements: the library's vector code is fma(a, 0.7, fma(b, 0.3, 0)).
void blend_u8(const uint8_t* a, const uint8_t* b, uint8_t* out, int n) {
    const float alpha = 0.7f, beta = 0.3f;
    int i = 0;
#if CV_SIMD
    const int q = v_float32::nlanes, step = 4 * q;
    const v_float32 va = vx_setall_f32(alpha), vb = vx_setall_f32(beta);
    for (; i <= n - step; i += step) {
        v_int32 r[4];
        v_uint32 a32[4], b32[4];
#if CV_SIMD256
        for (int k = 0; k < 4; ++k) a32[k] = vx_load_expand_q(a + i + k * q), b32[k] = vx_load_expand_q(b + i + k * q);
#else
        // (The 128-bit vx_load_expand_q reads 4 bytes as an int, which sanitizers reject as misaligned.)
        for (int k = 0; k < 2; ++k) {
            v_expand(vx_load_expand(a + i + 2 * k * q), a32[2 * k], a32[2 * k + 1]);
            v_expand(vx_load_expand(b + i + 2 * k * q), b32[2 * k], b32[2 * k + 1]);
        }
#endif
        for (int k = 0; k < 4; ++k) {
            const v_float32 fa = v_cvt_f32(v_reinterpret_as_s32(a32[k]));
            const v_float32 fb = v_cvt_f32(v_reinterpret_as_s32(b32[k]));
            r[k] = v_round(v_fma(fa, va, fb * vb));
        }
        v_store(out + i, v_pack_u(v_pack(r[0], r[1]), v_pack(r[2], r[3])));
    }
#endif
    for (; i < n; ++i) {
#if defined(KIRO_ISA_AVX2)
        const float v = std::fma(static_cast<float>(a[i]), alpha, static_cast<float>(b[i]) * beta);
#else
        const float v = static_cast<float>(a[i]) * alpha + static_cast<float>(b[i]) * beta;
#endif
        out[i] = saturate_cast<uint8_t>(v);
    }
}

// Output rows [y0, y1) of blur(blend(src, translate(src))). `M` is the
// inverse map of the translation as cv::warpAffine computes it.
void shake_rows(const uint8_t* src, size_t src_step, uint8_t* dst, size_t dst_step, int rows, int cols, int cn,
                const double* M, int y0, int y1) {
    Geometry g{src, src_step, rows, cols, cn, {M[0], M[1], M[2], M[3], M[4], M[5]}};
    const size_t n = static_cast<size_t>(cols) * cn;
    std::vector<uint8_t> bytes(5 * n + 2 * cn + 64);
    std::vector<uint16_t> ring(3 * n);
    uint8_t *warped = bytes.data(), *blended = warped + n, *zeros = blended + n, *pad = zeros + n;
    // Filtered source row r (reflected at the image edges) into `h`.
    auto filtered = [&](int r, uint16_t* h) {
        r = rows == 1 ? 0 : (r < 0 ? -r : (r >= rows ? 2 * rows - 2 - r : r));
        const Warped w = translated_row(g, r, warped, pad);
        const uint8_t* s = src + r * src_step;
        blend_u8(s, zeros, blended, w.begin);
        blend_u8(s + w.begin, w.row + w.begin, blended + w.begin, w.end - w.begin);
        blend_u8(s + w.end, zeros, blended + w.end, static_cast<int>(n) - w.end);
        horizontal(blended, cols, cn, h);
    };
    uint16_t* h[3] = {ring.data(), ring.data() + n, ring.data() + 2 * n};
    filtered(y0 - 1, h[0]);
    filtered(y0, h[1]);
    for (int y = y0; y < y1; ++y) {
        filtered(y + 1, h[2]);
        vertical(h[0], h[1], h[2], static_cast<int>(n), dst + y * dst_step);
        std::rotate(h, h + 1, h + 3);
    }
    vx_cleanup();
}

}  // namespace KIRO_ISA
}  // namespace kiro
