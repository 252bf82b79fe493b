// Bicubic (8-bit) and nearest-neighbour resizing, byte for byte as
// cv::resize: the coefficient tables are computed as OpenCV computes them,
// the horizontal pass sums in exact integers, and the vertical pass rounds
// in single precision where OpenCV's 128-bit vector loop does (the first
// multiple of 8 elements of a row) and in 22-bit fixed point on the rest.
#include "common/resize.hpp"

#include <opencv2/core/hal/intrin.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

namespace kiro {
namespace KIRO_ISA {
namespace {

constexpr int kBits = 11;
constexpr int kScale = 1 << kBits;

// cvFloor and cvRound as OpenCV's tables use them.
inline int floor_f(float v) {
    const int i = static_cast<int>(v);
    return i - (i > v);
}
inline int floor_d(double v) {
    const int i = static_cast<int>(v);
    return i - (i > v);
}
inline int16_t coef(float c) {
    const long r = std::lrint(c * kScale);  // nearest, ties to even
    return static_cast<int16_t>(std::min<long>(std::max<long>(r, -32768), 32767));
}

inline void cubic_coefs(float x, float* c) {
    const float A = -0.75f;
    c[0] = ((A * (x + 1) - 5 * A) * (x + 1) + 8 * A) * (x + 1) - 4 * A;
    c[1] = ((A + 2) * x - (A + 3)) * x * x + 1;
    c[2] = ((A + 2) * (1 - x) - (A + 3)) * (1 - x) * (1 - x) + 1;
    c[3] = 1.f - c[0] - c[1] - c[2];
}

// Coefficient slot of element e: pixels of 3 or 4 channels take 4 slots
// (one spare for 3), so a pixel's coefficients load as one 128-bit vector.
inline int lane_of(int e, int cn) { return cn >= 3 ? e / cn * 4 + e % cn : e; }

inline uint8_t clamp_u8(int v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

// Scratch memory of one call (plain malloc: nothing templated to share
// between the two builds of this file).
struct Scratch {
    void* p = nullptr;
    explicit Scratch(size_t bytes) : p(std::malloc(bytes ? bytes : 1)) {
        if (!p) throw std::bad_alloc();
    }
    ~Scratch() { std::free(p); }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
};

inline size_t align_up(size_t n, size_t a) { return (n + a - 1) / a * a; }

// One source row with its border: pixel x at x + 2, the first pixel twice
// before it and the last one six times after (padded = w + 8 pixels).
void fill_row(const uint8_t* s, int w, int cn, uint8_t* r) {
    const size_t px = static_cast<size_t>(cn);
    std::memcpy(r + 2 * px, s, static_cast<size_t>(w) * px);
    for (int k = 0; k < 2; ++k) std::memcpy(r + k * px, s, px);
    for (int k = w + 2; k < w + 8; ++k) std::memcpy(r + k * px, s + (w - 1) * px, px);
}

// words[i] = bytes r[i], r[i + cn], r[i + 2 cn], r[i + 3 cn]: the 4 taps of
// one channel, so an element's taps are one word and the words of the
// channels of a pixel lie side by side.
void fill_words(const uint8_t* r, int cn, int count, uint32_t* words) {
    int i = 0;
#if CV_SIMD
    using namespace cv;
    const int L = v_uint8::nlanes, W = v_uint32::nlanes;
    for (; i <= count - L; i += L) {
        v_uint8 ab0, ab1, cd0, cd1;
        v_zip(vx_load(r + i), vx_load(r + i + cn), ab0, ab1);
        v_zip(vx_load(r + i + 2 * cn), vx_load(r + i + 3 * cn), cd0, cd1);
        v_uint16 w0, w1, w2, w3;
        v_zip(v_reinterpret_as_u16(ab0), v_reinterpret_as_u16(cd0), w0, w1);
        v_zip(v_reinterpret_as_u16(ab1), v_reinterpret_as_u16(cd1), w2, w3);
        v_store(words + i, v_reinterpret_as_u32(w0));
        v_store(words + i + W, v_reinterpret_as_u32(w1));
        v_store(words + i + 2 * W, v_reinterpret_as_u32(w2));
        v_store(words + i + 3 * W, v_reinterpret_as_u32(w3));
    }
#endif
    for (; i < count; ++i)
        words[i] = static_cast<uint32_t>(r[i]) | static_cast<uint32_t>(r[i + cn]) << 8 |
                   static_cast<uint32_t>(r[i + 2 * cn]) << 16 | static_cast<uint32_t>(r[i + 3 * cn]) << 24;
}

#if CV_SIMD
// Sums of 4 taps for the words in w, whose 16-bit lanes are t0 | t1 << 8
// and t2 | t3 << 8: bytes 0 and 2 pair with (a0, a2), bytes 1 and 3 with
// (a1, a3).
template <class VU32, class VI16, class VU16>
inline auto tap_sums(const VU32& w, const VI16& even, const VI16& odd, const VU16& low) {
    using namespace cv;
    const VU16 u = v_reinterpret_as_u16(w);
    return v_dotprod(v_reinterpret_as_s16(u & low), even) + v_dotprod(v_reinterpret_as_s16(u >> 8), odd);
}
#endif

// Horizontal pass of one source row: out[e] = sum of its 4 taps times
// their coefficients, exact, stored as float (the sums stay below 2^24).
// out has room for 4 elements past the row.
void horizontal(const CubicTables& t, const uint8_t* s, uint8_t* row, uint32_t* words, float* out) {
    const int cn = t.cn, n = t.dst_w * cn;
    const int w = t.src_w;
    if (w >= 8) {
        // Words whose taps are all in the row come from the row itself; the
        // first 2 and last 6 pixels' words from a bordered copy of the ends.
        fill_words(s, cn, (w - 3) * cn, words + 2 * cn);
        uint8_t* head = row;
        uint8_t* tail = row + 8 * cn;
        std::memcpy(head, s, cn), std::memcpy(head + cn, s, cn);
        std::memcpy(head + 2 * cn, s, 3 * static_cast<size_t>(cn));
        fill_words(head, cn, 2 * cn, words);
        std::memcpy(tail, s + (w - 3) * cn, 3 * static_cast<size_t>(cn));
        for (int k = 3; k < 9; ++k) std::memcpy(tail + k * cn, s + (w - 1) * cn, cn);
        fill_words(tail, cn, 6 * cn, words + (w - 1) * cn);
    } else {
        fill_row(s, w, cn, row);
        fill_words(row, cn, (w + 5) * cn, words);
    }
    const int* ofs = t.ofs.data();
    const int* px = t.px.data();
    const int16_t* ev = t.even.data();
    const int16_t* od = t.odd.data();
    int e = 0;
#if CV_SIMD
    using namespace cv;
    const v_uint16 low = vx_setall_u16(0xFF);
    if (cn >= 3) {
        // The 3 or 4 words of a pixel are contiguous: 4 words per pixel (a
        // fourth channel's word or one to be overwritten by the next pixel).
        const int dw = t.dst_w;
        int dx = 0;
#if CV_SIMD256
        for (; dx + 1 < dw; dx += 2, e += 2 * cn) {
            const v_float32 f = v_cvt_f32(tap_sums(vx_load_halves(words + px[dx], words + px[dx + 1]),
                                                   vx_load(ev + 8 * dx), vx_load(od + 8 * dx), low));
            // 3 channels: 6 sums and 2 lanes that the next pixels overwrite.
            v_store(out + e, cn == 3 ? v_pack_triplets(f) : f);
        }
#else
        const v_uint16x8 low4 = v_setall_u16(0xFF);
        for (; dx < dw; ++dx, e += cn) {
            const v_float32x4 f = v_cvt_f32(tap_sums(v_load(words + px[dx]), v_load(ev + 8 * dx), v_load(od + 8 * dx), low4));
            v_store(out + e, f);
        }
#endif
    } else {
        const int L = v_int32::nlanes;
        const int* tab = reinterpret_cast<const int*>(words);
        for (; e <= n - L; e += L)
            v_store(out + e, v_cvt_f32(tap_sums(v_reinterpret_as_u32(vx_lut(tab, ofs + e)), vx_load(ev + 2 * e),
                                                vx_load(od + 2 * e), low)));
    }
#endif
    for (; e < n; ++e) {
        const uint32_t wd = words[ofs[e]];
        const int j = 2 * lane_of(e, cn);
        out[e] = static_cast<float>(static_cast<int>(wd & 0xFF) * ev[j] + static_cast<int>((wd >> 16) & 0xFF) * ev[j + 1] +
                                    static_cast<int>((wd >> 8) & 0xFF) * od[j] + static_cast<int>(wd >> 24) * od[j + 1]);
    }
}

// Scalar rest of one destination row from element x on: single precision
// up to nv (OpenCV's vector loop covers whole groups of 8 elements), 22-bit
// fixed point after.
void vertical_rest(const float* const* r, const int16_t* beta, int x, int nv, int n, uint8_t* d) {
    const float scale = 1.f / (kScale * kScale);
    const float f0 = beta[0] * scale, f1 = beta[1] * scale, f2 = beta[2] * scale, f3 = beta[3] * scale;
    const float *r0 = r[0], *r1 = r[1], *r2 = r[2], *r3 = r[3];
    for (; x < nv; ++x) {
        const float s = r0[x] * f0 + (r1[x] * f1 + (r2[x] * f2 + r3[x] * f3));
        d[x] = clamp_u8(static_cast<int>(std::lrint(s)));
    }
    const int i0 = beta[0], i1 = beta[1], i2 = beta[2], i3 = beta[3];
    for (; x < n; ++x) {
        const int s = static_cast<int>(r0[x]) * i0 + static_cast<int>(r1[x]) * i1 + static_cast<int>(r2[x]) * i2 +
                      static_cast<int>(r3[x]) * i3;
        d[x] = clamp_u8((s + (1 << (2 * kBits - 1))) >> (2 * kBits));
    }
}

// Vertical pass of one destination row (b null) or two: row A from source
// rows r[0..3] with coefficients a, row B from r[shift..shift+3] with b
// (shift 0 or 1: neighbouring rows share 4 or 3 source rows, loaded once).
void vertical(const float* const* r, int shift, const int16_t* a, const int16_t* b, int n, uint8_t* da,
              uint8_t* db) {
    const int nv = n & ~7;
    int x = 0;
#if CV_SIMD
    using namespace cv;
    const int L = v_float32::nlanes;
    const float scale = 1.f / (kScale * kScale);
    const float *r0 = r[0], *r1 = r[1], *r2 = r[2], *r3 = r[3];
    const v_float32 a0 = vx_setall_f32(a[0] * scale), a1 = vx_setall_f32(a[1] * scale),
                    a2 = vx_setall_f32(a[2] * scale), a3 = vx_setall_f32(a[3] * scale);
    // Products and sums rounded one by one (no fused multiply-add), as
    // OpenCV's S0*b0 + (S1*b1 + (S2*b2 + S3*b3)).
    auto sum = [](const v_float32& p0, const v_float32& p1, const v_float32& p2, const v_float32& p3,
                  const v_float32& c0, const v_float32& c1, const v_float32& c2, const v_float32& c3) {
        return v_round(p0 * c0 + (p1 * c1 + (p2 * c2 + p3 * c3)));
    };
    if (b) {
        const v_float32 b0 = vx_setall_f32(b[0] * scale), b1 = vx_setall_f32(b[1] * scale),
                        b2 = vx_setall_f32(b[2] * scale), b3 = vx_setall_f32(b[3] * scale);
        const float* r4 = r[3 + shift];
        for (; x <= nv - 2 * L; x += 2 * L) {
            v_int32 ra[2], rb[2];
            for (int h = 0; h < 2; ++h) {
                const int i = x + h * L;
                const v_float32 p0 = vx_load(r0 + i), p1 = vx_load(r1 + i), p2 = vx_load(r2 + i), p3 = vx_load(r3 + i);
                ra[h] = sum(p0, p1, p2, p3, a0, a1, a2, a3);
                rb[h] = shift ? sum(p1, p2, p3, vx_load(r4 + i), b0, b1, b2, b3) : sum(p0, p1, p2, p3, b0, b1, b2, b3);
            }
            v_pack_u_store(da + x, v_pack(ra[0], ra[1]));
            v_pack_u_store(db + x, v_pack(rb[0], rb[1]));
        }
    } else {
        auto one = [&](int i) { return sum(vx_load(r0 + i), vx_load(r1 + i), vx_load(r2 + i), vx_load(r3 + i), a0, a1, a2, a3); };
        for (; x <= nv - 4 * L; x += 4 * L)
            v_store(da + x, v_pack_u(v_pack(one(x), one(x + L)), v_pack(one(x + 2 * L), one(x + 3 * L))));
        for (; x <= nv - 2 * L; x += 2 * L) v_pack_u_store(da + x, v_pack(one(x), one(x + L)));
    }
#endif
    vertical_rest(r, a, x, nv, n, da);
    if (b) vertical_rest(r + shift, b, x, nv, n, db);
}

}  // namespace

void cubic_tables(CubicTables& t) {
    const int cn = t.cn;
    const double scale_x = 1. / (static_cast<double>(t.dst_w) / t.src_w);
    const double scale_y = 1. / (static_cast<double>(t.dst_h) / t.src_h);
    float c[4];
    for (int dx = 0; dx < t.dst_w; ++dx) {
        float fx = static_cast<float>((dx + 0.5) * scale_x - 0.5);
        const int sx = floor_f(fx);
        fx -= sx;
        cubic_coefs(fx, c);
        const int16_t a0 = coef(c[0]), a1 = coef(c[1]), a2 = coef(c[2]), a3 = coef(c[3]);
        // Taps sx-1 .. sx+2; padded index = pixel + 2 (sx stays in [-1, src_w-1]).
        const int first = std::min(std::max(sx + 1, 0), t.src_w);
        for (int k = 0; k < cn; ++k) {
            const size_t e = static_cast<size_t>(dx) * cn + k;
            t.ofs[e] = first * cn + k;
            if (k == 0) t.px[dx] = first * cn;
            const size_t j = 2 * static_cast<size_t>(lane_of(static_cast<int>(e), cn));
            t.even[j] = a0, t.even[j + 1] = a2;
            t.odd[j] = a1, t.odd[j + 1] = a3;
        }
    }
    for (int dy = 0; dy < t.dst_h; ++dy) {
        float fy = static_cast<float>((dy + 0.5) * scale_y - 0.5);
        const int sy = floor_f(fy);
        fy -= sy;
        cubic_coefs(fy, c);
        t.yofs[dy] = sy;
        for (int k = 0; k < 4; ++k) t.beta[4 * static_cast<size_t>(dy) + k] = coef(c[k]);
    }
}

void resize_cubic_8u(const CubicTables& t, const uint8_t* src, size_t src_step, uint8_t* dst, size_t dst_step,
                     int y0, int y1) {
    if (y0 >= y1) return;
    const int n = t.dst_w * t.cn;
    const size_t padded = static_cast<size_t>(t.src_w + 8) * t.cn;
    const size_t row_bytes = align_up((static_cast<size_t>(n) + 8) * sizeof(float), 64);
    const size_t words_bytes = align_up(padded * sizeof(uint32_t), 64);
    Scratch mem(5 * row_bytes + words_bytes + align_up(padded + 24 * static_cast<size_t>(t.cn), 64) + 64);
    auto* base = reinterpret_cast<uint8_t*>(align_up(reinterpret_cast<size_t>(mem.p), 64));
    // Horizontal sums of the source rows in use, by source row; 5 slots
    // hold the rows of two neighbouring destination rows.
    constexpr int kSlots = 5;
    float* slot[kSlots];
    int tag[kSlots];
    for (int k = 0; k < kSlots; ++k) {
        slot[k] = reinterpret_cast<float*>(base + k * row_bytes);
        tag[k] = -1;
    }
    auto* words = reinterpret_cast<uint32_t*>(base + kSlots * row_bytes);
    uint8_t* bordered = base + kSlots * row_bytes + words_bytes;
    auto clamp_row = [&](int y) { return std::min(std::max(y, 0), t.src_h - 1); };

    for (int dy = y0; dy < y1; ++dy) {
        // Rows yofs-1 .. yofs+2; with the next destination row when it starts
        // on the same row or the one after (always so when scaling up).
        const int step = dy + 1 < y1 ? t.yofs[dy + 1] - t.yofs[dy] : -1;
        const int count = step == 0 ? 4 : (step == 1 ? 5 : 4);
        int need[kSlots];
        for (int k = 0; k < count; ++k) need[k] = clamp_row(t.yofs[dy] - 1 + k);
        const float* rows[kSlots];
        for (int k = 0; k < count; ++k) {
            int hit = -1;
            for (int j = 0; j < kSlots; ++j)
                if (tag[j] == need[k]) hit = j;
            if (hit < 0) {
                // A slot whose row is not needed now.
                for (int j = 0; j < kSlots && hit < 0; ++j) {
                    bool used = false;
                    for (int i = 0; i < count; ++i) used |= tag[j] == need[i];
                    if (!used) hit = j;
                }
                horizontal(t, src + static_cast<size_t>(need[k]) * src_step, bordered, words, slot[hit]);
                tag[hit] = need[k];
            }
            rows[k] = slot[hit];
        }
        uint8_t* d = dst + static_cast<size_t>(dy) * dst_step;
        const int16_t* beta = t.beta.data() + 4 * static_cast<size_t>(dy);
        if (step == 0 || step == 1) {
            vertical(rows, step, beta, beta + 4, n, d, d + dst_step);
            ++dy;
        } else {
            vertical(rows, 0, beta, nullptr, n, d, nullptr);
        }
    }
}

void nearest_tables(NearestTables& t) {
    const double ifx = 1. / (static_cast<double>(t.dst_w) / t.src_w);
    const double ify = 1. / (static_cast<double>(t.dst_h) / t.src_h);
    for (int x = 0; x < t.dst_w; ++x) t.xofs[x] = std::min(floor_d(x * ifx), t.src_w - 1) * t.elem;
    for (int y = 0; y < t.dst_h; ++y) t.yofs[y] = std::min(floor_d(y * ify), t.src_h - 1);
}

namespace {
template <class T>
void gather(const uint8_t* s, const int* xofs, int w, uint8_t* d) {
    for (int x = 0; x < w; ++x) std::memcpy(d + x * sizeof(T), s + xofs[x], sizeof(T));
}
}  // namespace

void resize_nearest(const NearestTables& t, const uint8_t* src, size_t src_step, uint8_t* dst, size_t dst_step,
                    int y0, int y1) {
    const int w = t.dst_w, elem = t.elem;
    const int* xofs = t.xofs.data();
    const size_t row = static_cast<size_t>(w) * elem;
    for (int dy = y0; dy < y1; ++dy) {
        uint8_t* d = dst + static_cast<size_t>(dy) * dst_step;
        if (dy > y0 && t.yofs[dy] == t.yofs[dy - 1]) {
            std::memcpy(d, d - dst_step, row);  // same source row as the row above
            continue;
        }
        const uint8_t* s = src + static_cast<size_t>(t.yofs[dy]) * src_step;
        switch (elem) {
            case 1: {
                int x = 0;
                for (; x + 4 <= w; x += 4) {
                    const uint8_t a = s[xofs[x]], b = s[xofs[x + 1]], c = s[xofs[x + 2]], e = s[xofs[x + 3]];
                    d[x] = a, d[x + 1] = b, d[x + 2] = c, d[x + 3] = e;
                }
                for (; x < w; ++x) d[x] = s[xofs[x]];
                break;
            }
            case 2: gather<uint16_t>(s, xofs, w, d); break;
            case 3:
                for (int x = 0; x < w; ++x) std::memcpy(d + 3 * x, s + xofs[x], 3);
                break;
            case 4: gather<uint32_t>(s, xofs, w, d); break;
            case 8: gather<uint64_t>(s, xofs, w, d); break;
            default:
                for (int x = 0; x < w; ++x) std::memcpy(d + static_cast<size_t>(x) * elem, s + xofs[x], elem);
        }
    }
}

int simd_width() {
#if CV_SIMD
    return CV_SIMD_WIDTH;
#else
    return 0;
#endif
}

}  // namespace KIRO_ISA
}  // namespace kiro
