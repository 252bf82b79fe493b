// Affine warp kernels (see common/warp.hpp), in cv::warpAffine's fixed point:
// a destination pixel (x, y) samples the source at
//   X = (round((M1*y + M2) * 1024) + round(M0*x*1024) + delta) >> 5   (1/32 px)
// and likewise Y; bilinear weights are (32 - fx, fx) x (32 - fy, fy), so the
// four products sum to 1024 and a value is (sum + 512) >> 10. Neighbours off
// the image take the border value; a pixel whose whole 2 x 2 cell is off the
// image is the border value.
#include "common/warp.hpp"

#include <opencv2/core.hpp>
#include <opencv2/core/hal/intrin.hpp>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

namespace kiro {
namespace KIRO_ISA {

using namespace cv;

namespace {

constexpr int kAbBits = 10;
constexpr int kAbScale = 1 << kAbBits;
constexpr int kInterBits = 5;
constexpr int kTab = 1 << kInterBits;

inline int wrap_add(int a, int b) { return static_cast<int>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b)); }

struct Deltas {
    std::vector<int> a, b;  // round(M0*x*1024), round(M3*x*1024)
    Deltas(const double* M, int width) : a(width), b(width) {
        for (int x = 0; x < width; ++x) {
            a[x] = saturate_cast<int>(M[0] * x * kAbScale);
            b[x] = saturate_cast<int>(M[3] * x * kAbScale);
        }
    }
};

// One destination row's source cells: the top-left neighbour (16-bit, as the
// warp keeps it), its byte offset in the source (meaningful for cells inside
// it) and the fractions of a pixel.
struct Cells {
    std::vector<short> sx, sy, fx, fy;
    std::vector<int> ofs;
    explicit Cells(int n) : sx(n), sy(n), fx(n), fy(n), ofs(n) {}
};

// X = (X0 + a[x]) >> shift and likewise Y, for n pixels from column x0:
// sx, sy = (X, Y) >> cell_bits saturated to 16 bits, and the low cell_bits.
void row_cells(const Deltas& d, int X0, int Y0, int x0, int n, int shift, int cell_bits, int step, int elem,
               Cells& c) {
    const int* a = d.a.data() + x0;
    const int* b = d.b.data() + x0;
    const int mask = (1 << cell_bits) - 1;
    int x = 0;
#if CV_SIMD
    const int lanes = v_int32::nlanes;
    const v_int32 vx0 = vx_setall_s32(X0), vy0 = vx_setall_s32(Y0), vmask = vx_setall_s32(mask);
    const v_int32 vstep = vx_setall_s32(step), velem = vx_setall_s32(elem);
    for (; x <= n - 2 * lanes; x += 2 * lanes) {
        const v_int32 X1 = (vx0 + vx_load(a + x)) >> shift, X2 = (vx0 + vx_load(a + x + lanes)) >> shift;
        const v_int32 Y1 = (vy0 + vx_load(b + x)) >> shift, Y2 = (vy0 + vx_load(b + x + lanes)) >> shift;
        v_store(c.sx.data() + x, v_pack(X1 >> cell_bits, X2 >> cell_bits));
        v_store(c.sy.data() + x, v_pack(Y1 >> cell_bits, Y2 >> cell_bits));
        v_store(c.fx.data() + x, v_pack(X1 & vmask, X2 & vmask));
        v_store(c.fy.data() + x, v_pack(Y1 & vmask, Y2 & vmask));
        v_store(c.ofs.data() + x, (Y1 >> cell_bits) * vstep + (X1 >> cell_bits) * velem);
        v_store(c.ofs.data() + x + lanes, (Y2 >> cell_bits) * vstep + (X2 >> cell_bits) * velem);
    }
#endif
    for (; x < n; ++x) {
        const int X = wrap_add(X0, a[x]) >> shift;
        const int Y = wrap_add(Y0, b[x]) >> shift;
        c.sx[x] = saturate_cast<short>(X >> cell_bits);
        c.sy[x] = saturate_cast<short>(Y >> cell_bits);
        c.fx[x] = static_cast<short>(X & mask);
        c.fy[x] = static_cast<short>(Y & mask);
        c.ofs[x] = static_cast<int>(static_cast<uint32_t>(Y >> cell_bits) * static_cast<uint32_t>(step) +
                                    static_cast<uint32_t>(X >> cell_bits) * static_cast<uint32_t>(elem));
    }
}

// Border-aware value of one pixel (any cell position).
inline void edge_pixel(const uint8_t* src, size_t step, int h, int w, int cn, int sx, int sy, int fx, int fy,
                       const uint8_t* border, uint8_t* out) {
    if (sx >= w || sx + 1 < 0 || sy >= h || sy + 1 < 0) {
        std::memcpy(out, border, cn);
        return;
    }
    const int w00 = (kTab - fx) * (kTab - fy), w01 = fx * (kTab - fy), w10 = (kTab - fx) * fy, w11 = fx * fy;
    const bool x0 = sx >= 0, x1 = sx + 1 < w, y0 = sy >= 0, y1 = sy + 1 < h;
    const uint8_t* r0 = src + static_cast<ptrdiff_t>(sy) * step;
    const uint8_t* r1 = r0 + step;
    for (int k = 0; k < cn; ++k) {
        const int v00 = y0 && x0 ? r0[sx * cn + k] : border[k];
        const int v01 = y0 && x1 ? r0[(sx + 1) * cn + k] : border[k];
        const int v10 = y1 && x0 ? r1[sx * cn + k] : border[k];
        const int v11 = y1 && x1 ? r1[(sx + 1) * cn + k] : border[k];
        out[k] = static_cast<uint8_t>((v00 * w00 + v01 * w01 + v10 * w10 + v11 * w11 + 512) >> 10);
    }
}

#if CV_SIMD128
// Weight rows for the 128-bit pixel step: (32 - f) in the first cn lanes,
// f in the next cn, for the horizontal pass; (32 - f, f) pairs for the
// vertical one.
template <int CN>
struct Weights {
    int16_t x[kTab][8];
    int16_t y[kTab][8];
    Weights() {
        for (int f = 0; f < kTab; ++f) {
            for (int k = 0; k < 8; ++k) {
                x[f][k] = static_cast<int16_t>(k < CN ? kTab - f : k < 2 * CN ? f : 0);
                y[f][k] = static_cast<int16_t>(k % 2 == 0 ? kTab - f : f);
            }
        }
    }
};

// Sums for one interior pixel in lanes 0..CN-1 (before rounding): the 8
// bytes from the top-left neighbour in rows sy and sy + 1, horizontal
// products in 16 bits, vertical in 32.
template <int CN>
inline v_int32x4 interior_sum(const uint8_t* p, size_t step, const Weights<CN>& wt, int fx, int fy) {
    const v_uint8x16 q = v_load_halves(p, p + step);
    v_uint16x8 lo, hi;
    v_expand(q, lo, hi);
    const v_uint16x8 wx = v_reinterpret_as_u16(v_load(wt.x[fx]));
    lo = v_mul_wrap(lo, wx);
    hi = v_mul_wrap(hi, wx);
    const v_uint16x8 h0 = lo + v_rotate_right<CN>(lo);
    const v_uint16x8 h1 = hi + v_rotate_right<CN>(hi);
    v_uint16x8 z0, z1;
    v_zip(h0, h1, z0, z1);
    return v_dotprod(v_reinterpret_as_s16(z0), v_load(wt.y[fy]));
}
#endif

// Whether each pixel's whole 2 x 2 cell lies inside the image, and the two
// 8-byte loads from its rows too: they reach 8 - 2*cn bytes past the right
// neighbour, which must stay inside the source (rows of `step` bytes, the
// last one w*cn long).
void interior_flags(const Cells& c, int n, int h, int w, int cn, size_t step, uint8_t* flags) {
    // Highest byte offset of a top-left neighbour whose loads stay inside.
    const int64_t limit = static_cast<int64_t>(h - 2) * static_cast<int64_t>(step) + static_cast<int64_t>(w) * cn - 8;
    if (limit < 0 || limit > INT32_MAX) {
        std::memset(flags, 0, n);
        return;
    }
    const uint32_t last = static_cast<uint32_t>(limit);
    const short* sx = c.sx.data();
    const short* sy = c.sy.data();
    const int* ofs = c.ofs.data();
    for (int x = 0; x < n; ++x)
        flags[x] = (sx[x] >= 0) & (sx[x] < w - 1) & (sy[x] >= 0) & (sy[x] < h - 1) &
                   (static_cast<uint32_t>(ofs[x]) <= last);
}

template <int CN>
void linear_row(const uint8_t* src, size_t step, int h, int w, const Cells& c, const uint8_t* flags, int n,
                const uint8_t* border, uint8_t* out) {
    int x = 0;
#if CV_SIMD128
    static const Weights<CN> wt;
    const v_int32x4 half = v_setall_s32(512);
    auto sum = [&](int i) {
        const uint8_t* p = src + c.ofs[i];
        return (interior_sum<CN>(p, step, wt, c.fx[i], c.fy[i]) + half) >> 10;
    };
    while (x < n) {
        if (!flags[x]) {
            edge_pixel(src, step, h, w, CN, c.sx[x], c.sy[x], c.fx[x], c.fy[x], border, out + x * CN);
            ++x;
            continue;
        }
        int end = x + 1;
        while (end < n && flags[end]) ++end;
        // A run of interior pixels, four at a time.
        for (; x + 4 <= end; x += 4) {
            v_int32x4 s0 = sum(x), s1 = sum(x + 1), s2 = sum(x + 2), s3 = sum(x + 3);
            if (CN == 4) {
                v_store(out + x * 4, v_pack_u(v_pack(s0, s1), v_pack(s2, s3)));
            } else if (CN == 3) {
                const v_uint8x16 bytes = v_pack_triplets(v_pack_u(v_pack(s0, s1), v_pack(s2, s3)));
                if ((x + 4) * 3 + 4 <= n * 3) {
                    v_store(out + x * 3, bytes);  // the 4 bytes past are the next pixels', written later
                } else {
                    uint8_t CV_DECL_ALIGNED(16) buf[16];
                    v_store(buf, bytes);
                    std::memcpy(out + x * 3, buf, 12);
                }
            } else {
                v_transpose4x4(s0, s1, s2, s3, s0, s1, s2, s3);
                const v_uint8x16 bytes = v_pack_u(v_pack(s0, s0), v_pack(s0, s0));
                const int32_t four = v_reinterpret_as_s32(bytes).get0();
                std::memcpy(out + x, &four, 4);
            }
        }
        for (; x < end; ++x) {
            int32_t CV_DECL_ALIGNED(16) v[4];
            v_store(v, sum(x));
            for (int k = 0; k < CN; ++k) out[x * CN + k] = static_cast<uint8_t>(v[k]);
        }
    }
#endif
    for (; x < n; ++x) edge_pixel(src, step, h, w, CN, c.sx[x], c.sy[x], c.fx[x], c.fy[x], border, out + x * CN);
}

}  // namespace

void warp_linear_u8(const uint8_t* src, size_t src_step, int src_rows, int src_cols, int cn, uint8_t* dst,
                    size_t dst_step, int dst_cols, const double* M, const uint8_t* border, int y0, int y1) {
    const Deltas d(M, dst_cols);
    Cells c(dst_cols);
    std::vector<uint8_t> flags(dst_cols);
    const int round_delta = kAbScale / kTab / 2;
    for (int y = y0; y < y1; ++y) {
        const int X0 = saturate_cast<int>((M[1] * y + M[2]) * kAbScale) + round_delta;
        const int Y0 = saturate_cast<int>((M[4] * y + M[5]) * kAbScale) + round_delta;
        row_cells(d, X0, Y0, 0, dst_cols, kAbBits - kInterBits, kInterBits, static_cast<int>(src_step), cn, c);
        interior_flags(c, dst_cols, src_rows, src_cols, cn, src_step, flags.data());
        uint8_t* out = dst + static_cast<ptrdiff_t>(y) * dst_step;
        const uint8_t* f = flags.data();
        switch (cn) {
            case 1: linear_row<1>(src, src_step, src_rows, src_cols, c, f, dst_cols, border, out); break;
            case 3: linear_row<3>(src, src_step, src_rows, src_cols, c, f, dst_cols, border, out); break;
            default: linear_row<4>(src, src_step, src_rows, src_cols, c, f, dst_cols, border, out); break;
        }
    }
}

namespace {

// One row of nearest-neighbour samples: the element at each cell, or the
// border element off the image.
template <class T>
void nearest_row(const uint8_t* src, int src_rows, int src_cols, const Cells& c, int n, T fill, T* out) {
    const unsigned w = static_cast<unsigned>(src_cols), h = static_cast<unsigned>(src_rows);
    const short* sx = c.sx.data();
    const short* sy = c.sy.data();
    const int* ofs = c.ofs.data();
    for (int x = 0; x < n; ++x) {
        if (static_cast<unsigned>(sx[x]) < w && static_cast<unsigned>(sy[x]) < h)
            std::memcpy(out + x, src + ofs[x], sizeof(T));
        else
            out[x] = fill;
    }
}

template <class T>
void nearest_rows(const uint8_t* src, size_t src_step, int src_rows, int src_cols, uint8_t* dst, size_t dst_step,
                  int dst_cols, const double* M, const uint8_t* border, int y0, int y1) {
    const Deltas d(M, dst_cols);
    Cells c(dst_cols);
    T fill;
    std::memcpy(&fill, border, sizeof(T));
    const int round_delta = kAbScale / 2;
    for (int y = y0; y < y1; ++y) {
        const int X0 = saturate_cast<int>((M[1] * y + M[2]) * kAbScale) + round_delta;
        const int Y0 = saturate_cast<int>((M[4] * y + M[5]) * kAbScale) + round_delta;
        row_cells(d, X0, Y0, 0, dst_cols, kAbBits, 0, static_cast<int>(src_step), sizeof(T), c);
        nearest_row<T>(src, src_rows, src_cols, c, dst_cols, fill,
                       reinterpret_cast<T*>(dst + static_cast<ptrdiff_t>(y) * dst_step));
    }
}

}  // namespace

void warp_nearest(const uint8_t* src, size_t src_step, int src_rows, int src_cols, int elem_size, uint8_t* dst,
                  size_t dst_step, int dst_cols, const double* M, const uint8_t* border, int y0, int y1) {
    switch (elem_size) {
        case 1: nearest_rows<uint8_t>(src, src_step, src_rows, src_cols, dst, dst_step, dst_cols, M, border, y0, y1); break;
        case 2: nearest_rows<uint16_t>(src, src_step, src_rows, src_cols, dst, dst_step, dst_cols, M, border, y0, y1); break;
        case 4: nearest_rows<uint32_t>(src, src_step, src_rows, src_cols, dst, dst_step, dst_cols, M, border, y0, y1); break;
        default: nearest_rows<uint64_t>(src, src_step, src_rows, src_cols, dst, dst_step, dst_cols, M, border, y0, y1); break;
    }
}

// ---- perspective ----------------------------------------------------------------
//
// cv::warpPerspective works in blocks of `bw` columns (64 for images of 16
// rows or more): for block column xb and pixel x1 in it,
//   W = (M6*xb + M7*y + M8) + M6*x1,  W = W ? s/W : 0
//   X = round(clamp((M0*xb + M1*y + M2 + M0*x1) * W)),  likewise Y
// with s = 32 (bilinear: 1/32 px cells) or 1 (nearest), in double precision.
// Scaling by a power of two commutes with rounding, so (A * (32/W)) is
// exactly 32 * (A * (1/W)): one division serves both kinds of cells.

namespace {

// Where one kind of cell goes: `c` (null: not wanted), the cell bits (5 for
// bilinear, 0 for nearest) and the source layout for the byte offsets.
struct CellOut {
    Cells* c;
    int bits, step, elem;
};

#if CV_SIMD_64F
inline void store_cells(const CellOut& o, int i, const v_float64* tX, const v_float64* tY, const v_float64& vlo,
                        const v_float64& vhi) {
    const v_float64 s = vx_setall_f64(static_cast<double>(1 << o.bits));
    auto clamp = [&](const v_float64& v) { return v_max(vlo, v_min(vhi, v * s)); };
    const v_int32 X1 = v_round(clamp(tX[0]), clamp(tX[1])), X2 = v_round(clamp(tX[2]), clamp(tX[3]));
    const v_int32 Y1 = v_round(clamp(tY[0]), clamp(tY[1])), Y2 = v_round(clamp(tY[2]), clamp(tY[3]));
    const v_int32 vmask = vx_setall_s32((1 << o.bits) - 1);
    const v_int16 sx = v_pack(X1 >> o.bits, X2 >> o.bits), sy = v_pack(Y1 >> o.bits, Y2 >> o.bits);
    Cells& c = *o.c;
    v_store(c.sx.data() + i, sx);
    v_store(c.sy.data() + i, sy);
    v_store(c.fx.data() + i, v_pack(X1 & vmask, X2 & vmask));
    v_store(c.fy.data() + i, v_pack(Y1 & vmask, Y2 & vmask));
    v_int32 sx1, sx2, sy1, sy2;
    v_expand(sx, sx1, sx2);
    v_expand(sy, sy1, sy2);
    const v_int32 vstep = vx_setall_s32(o.step), velem = vx_setall_s32(o.elem);
    v_store(c.ofs.data() + i, sy1 * vstep + sx1 * velem);
    v_store(c.ofs.data() + i + v_int32::nlanes, sy2 * vstep + sx2 * velem);
}
#endif

inline void store_cell(const CellOut& o, int i, double tX, double tY, double lo, double hi) {
    const double s = static_cast<double>(1 << o.bits);
    const int X = saturate_cast<int>(std::max(lo, std::min(hi, tX * s)));
    const int Y = saturate_cast<int>(std::max(lo, std::min(hi, tY * s)));
    const int mask = (1 << o.bits) - 1;
    Cells& c = *o.c;
    c.sx[i] = saturate_cast<short>(X >> o.bits);
    c.sy[i] = saturate_cast<short>(Y >> o.bits);
    c.fx[i] = static_cast<short>(X & mask);
    c.fy[i] = static_cast<short>(Y & mask);
    c.ofs[i] = static_cast<int>(static_cast<uint32_t>(c.sy[i]) * static_cast<uint32_t>(o.step) +
                                static_cast<uint32_t>(c.sx[i]) * static_cast<uint32_t>(o.elem));
}

void perspective_cells(const double* M, int bw, int y, int n, const CellOut& a, const CellOut& b) {
    const double lo = static_cast<double>(INT_MIN), hi = static_cast<double>(INT_MAX);
    for (int xb = 0; xb < n; xb += bw) {
        const int m = std::min(bw, n - xb);
        const double X0 = M[0] * xb + M[1] * y + M[2];
        const double Y0 = M[3] * xb + M[4] * y + M[5];
        const double W0 = M[6] * xb + M[7] * y + M[8];
        int x1 = 0;
#if CV_SIMD_64F
        // One 16-bit vector of pixels a step: four double vectors.
        const int L = v_float64::nlanes;
        double CV_DECL_ALIGNED(64) base[v_float64::nlanes];
        for (int k = 0; k < L; ++k) base[k] = k;
        const v_float64 vM0 = vx_setall_f64(M[0]), vM3 = vx_setall_f64(M[3]), vM6 = vx_setall_f64(M[6]);
        const v_float64 vX0 = vx_setall_f64(X0), vY0 = vx_setall_f64(Y0), vW0 = vx_setall_f64(W0);
        const v_float64 one = vx_setall_f64(1.0), zero = vx_setzero_f64();
        const v_float64 vlo = vx_setall_f64(lo), vhi = vx_setall_f64(hi), vL = vx_setall_f64(static_cast<double>(L));
        v_float64 vx = vx_load(base);
        for (; x1 + 4 * L <= m; x1 += 4 * L) {
            v_float64 tX[4], tY[4];
            for (int k = 0; k < 4; ++k) {
                const v_float64 W = vW0 + vM6 * vx;
                const v_float64 r = (one / W) & (W != zero);
                tX[k] = (vX0 + vM0 * vx) * r;
                tY[k] = (vY0 + vM3 * vx) * r;
                vx += vL;
            }
            if (a.c) store_cells(a, xb + x1, tX, tY, vlo, vhi);
            if (b.c) store_cells(b, xb + x1, tX, tY, vlo, vhi);
        }
#endif
        for (; x1 < m; ++x1) {
            double W = W0 + M[6] * x1;
            W = W ? 1.0 / W : 0;
            const double tX = (X0 + M[0] * x1) * W, tY = (Y0 + M[3] * x1) * W;
            if (a.c) store_cell(a, xb + x1, tX, tY, lo, hi);
            if (b.c) store_cell(b, xb + x1, tX, tY, lo, hi);
        }
    }
}

void linear_dispatch(const uint8_t* src, size_t step, int h, int w, int cn, const Cells& c, const uint8_t* f, int n,
                     const uint8_t* border, uint8_t* out) {
    switch (cn) {
        case 1: linear_row<1>(src, step, h, w, c, f, n, border, out); break;
        case 3: linear_row<3>(src, step, h, w, c, f, n, border, out); break;
        default: linear_row<4>(src, step, h, w, c, f, n, border, out); break;
    }
}

void nearest_dispatch(const uint8_t* src, int h, int w, int elem, const Cells& c, int n, const uint8_t* border,
                      uint8_t* out) {
    switch (elem) {
        case 1: nearest_row<uint8_t>(src, h, w, c, n, *border, out); break;
        case 2: { uint16_t f; std::memcpy(&f, border, 2); nearest_row<uint16_t>(src, h, w, c, n, f, reinterpret_cast<uint16_t*>(out)); break; }
        case 4: { uint32_t f; std::memcpy(&f, border, 4); nearest_row<uint32_t>(src, h, w, c, n, f, reinterpret_cast<uint32_t*>(out)); break; }
        default: { uint64_t f; std::memcpy(&f, border, 8); nearest_row<uint64_t>(src, h, w, c, n, f, reinterpret_cast<uint64_t*>(out)); break; }
    }
}

}  // namespace

void warp_perspective(const PerspectiveJob& job, int y0, int y1) {
    const int n = job.dst_cols;
    Cells lin(job.image ? n : 0), nn(job.mask ? n : 0);
    std::vector<uint8_t> flags(job.image ? n : 0);
    const CellOut a{job.image ? &lin : nullptr, kInterBits, static_cast<int>(job.image_step), job.cn};
    const CellOut b{job.mask ? &nn : nullptr, 0, static_cast<int>(job.mask_step), job.elem};
    for (int y = y0; y < y1; ++y) {
        perspective_cells(job.M, job.block, y, n, a, b);
        if (job.image) {
            interior_flags(lin, n, job.src_rows, job.src_cols, job.cn, job.image_step, flags.data());
            linear_dispatch(job.image, job.image_step, job.src_rows, job.src_cols, job.cn, lin, flags.data(), n,
                               job.image_border, job.image_dst + static_cast<ptrdiff_t>(y) * job.image_dst_step);
        }
        if (job.mask)
            nearest_dispatch(job.mask, job.src_rows, job.src_cols, job.elem, nn, n, job.mask_border,
                             job.mask_dst + static_cast<ptrdiff_t>(y) * job.mask_dst_step);
    }
}

}  // namespace KIRO_ISA
}  // namespace kiro
