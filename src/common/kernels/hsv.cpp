// HSV jitter kernel (see common/hsv.hpp): per block of pixels, OpenCV's
// integer BGR -> HSV, the two scalings and OpenCV's float HSV -> BGR, all in
// registers. OpenCV converts whole blocks of one 8-bit vector with vector code
// (the backward step truncating) and the rest of a row with scalar code
// (rounding); both forms are repeated here, with the fused multiply-adds the
// AVX2 build of the library contracts to.
#include <opencv2/core.hpp>
#include <opencv2/core/hal/intrin.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace kiro {
namespace KIRO_ISA {

using namespace cv;

namespace {

constexpr int kHsvShift = 12;
constexpr float kHueScale = 6.0f / 180;

struct DivTables {
    int sdiv[256];
    int hdiv[256];
    DivTables() {
        sdiv[0] = hdiv[0] = 0;
        for (int i = 1; i < 256; i++) {
            sdiv[i] = saturate_cast<int>((255 << kHsvShift) / (1. * i));
            hdiv[i] = saturate_cast<int>((180 << kHsvShift) / (6. * i));
        }
    }
};

const DivTables& div_tables() {
    static const DivTables t;
    return t;
}

// 1 - a*b, as one fused operation where the library's build fuses it.
inline float one_minus(float a, float b) {
#if defined(KIRO_ISA_AVX2)
    return std::fma(-a, b, 1.0f);
#else
    return 1.0f - a * b;
#endif
}

// One plane value times its factor: float product, clipped to [0, 255]
// (a product that is not positive, NaN included, becomes 0), truncated.
inline int scaled(int value, float a) {
    const float p = static_cast<float>(value) * a;
    if (!(p > 0.0f)) return 0;
    return p >= 255.0f ? 255 : static_cast<int>(p);
}

// The scalar forms, for the pixels after the last whole vector block.
void tail_pixel(const uint8_t* src, float a_s, float a_v, uint8_t* dst) {
    static const int sector_data[][3] = {{1, 3, 0}, {1, 0, 2}, {3, 0, 1}, {0, 2, 1}, {0, 1, 3}, {2, 1, 0}};
    const int* sdiv_table = div_tables().sdiv;
    const int* hdiv_table = div_tables().hdiv;
    const int b0 = src[0], g0 = src[1], r0 = src[2];
    const int vmax = std::max(b0, std::max(g0, r0));
    const int vmin = std::min(b0, std::min(g0, r0));
    const uchar diff = saturate_cast<uchar>(vmax - vmin);
    const int vr = vmax == r0 ? -1 : 0, vg = vmax == g0 ? -1 : 0;
    const int s8 = (diff * sdiv_table[vmax] + (1 << (kHsvShift - 1))) >> kHsvShift;
    int h8 = (vr & (g0 - b0)) + (~vr & ((vg & (b0 - r0 + 2 * diff)) + ((~vg) & (r0 - g0 + 4 * diff))));
    h8 = (h8 * hdiv_table[diff] + (1 << (kHsvShift - 1))) >> kHsvShift;
    h8 += h8 < 0 ? 180 : 0;

    float h = saturate_cast<uchar>(h8);
    const float s = scaled(s8, a_s) * (1.0f / 255.0f), v = scaled(vmax, a_v) * (1.0f / 255.0f);
    float b, g, r;
    if (s == 0) {
        b = g = r = v;
    } else {
        float tab[4];
        h *= kHueScale;
        h = std::fmod(h, 6.f);
        int sector = cvFloor(h);
        h -= sector;
        if (static_cast<unsigned>(sector) >= 6u) {
            sector = 0;
            h = 0.f;
        }
        tab[0] = v;
        tab[1] = v * (1.f - s);
        tab[2] = v * one_minus(s, h);
        tab[3] = v * (1.f - s * (1.f - h));
        b = tab[sector_data[sector][0]];
        g = tab[sector_data[sector][1]];
        r = tab[sector_data[sector][2]];
    }
    dst[0] = saturate_cast<uchar>(b * 255.0f);
    dst[1] = saturate_cast<uchar>(g * 255.0f);
    dst[2] = saturate_cast<uchar>(r * 255.0f);
}

#if CV_SIMD
inline v_float32 one_minus(const v_float32& a, const v_float32& b) {
#if defined(KIRO_ISA_AVX2)
    return v_fma(vx_setzero_f32() - a, b, vx_setall_f32(1.0f));
#else
    return vx_setall_f32(1.0f) - a * b;
#endif
}

inline v_int32 scaled(const v_int32& value, const v_float32& a) {
    const v_float32 p = v_cvt_f32(value) * a;
    const v_float32 zero = vx_setzero_f32();
    return v_trunc(v_min(v_select(p > zero, p, zero), vx_setall_f32(255.0f)));
}

// 8-bit HSV of one float vector of pixels (hue 0..179, S and V already
// scaled) back to BGR, as OpenCV's vector code: truncated products.
inline void to_bgr(const v_int32& hue, const v_int32& sat, const v_int32& val, v_int32& bi, v_int32& gi,
                   v_int32& ri) {
    const v_float32 one = vx_setall_f32(1.0f);
    const v_float32 s = v_cvt_f32(sat) * vx_setall_f32(1.0f / 255.0f);
    const v_float32 v = v_cvt_f32(val) * vx_setall_f32(1.0f / 255.0f);
    v_float32 h = v_cvt_f32(hue) * vx_setall_f32(kHueScale);
    // Hue below 180 puts the sector in 0..5, where it is the whole part.
    const v_float32 sector = v_cvt_f32(v_trunc(h));
    h = h - sector;
    const v_float32 tab0 = v;
    const v_float32 tab1 = v * (one - s);
    const v_float32 tab2 = v * one_minus(s, h);
    const v_float32 tab3 = v * one_minus(s, one - h);
    const v_float32 lt1 = sector < one, lt2 = sector < vx_setall_f32(2.0f), lt3 = sector < vx_setall_f32(3.0f),
                    lt4 = sector < vx_setall_f32(4.0f), lt5 = sector < vx_setall_f32(5.0f);
    const v_float32 b = v_select(lt2, tab1, v_select(lt3, tab3, v_select(lt5, tab0, tab2)));
    const v_float32 g = v_select(lt1, tab3, v_select(lt3, tab0, v_select(lt4, tab2, tab1)));
    const v_float32 r = v_select(lt1, tab0, v_select(lt2, tab2, v_select(lt4, tab1, v_select(lt5, tab3, tab0))));
    const v_float32 k255 = vx_setall_f32(255.0f);
    bi = v_trunc(b * k255);
    gi = v_trunc(g * k255);
    ri = v_trunc(r * k255);
}
#endif

void jitter_row(const uint8_t* src, int scn, uint8_t* dst, int n, float a_s, float a_v) {
    int i = 0;
#if CV_SIMD
    const int vsize = v_uint8::nlanes;
    const v_float32 vas = vx_setall_f32(a_s), vav = vx_setall_f32(a_v);
    const v_float32 kS = vx_setall_f32(static_cast<float>(255 << kHsvShift));
    const v_float32 kH = vx_setall_f32(static_cast<float>(180 << kHsvShift) / 6);
    const v_int32 one = vx_setall_s32(1), half = vx_setall_s32(1 << (kHsvShift - 1)), hr = vx_setall_s32(180);
    for (; i <= n - vsize; i += vsize, src += scn * vsize, dst += 3 * vsize) {
        v_uint8 b, g, r;
        if (scn == 4) {
            v_uint8 a;
            v_load_deinterleave(src, b, g, r, a);
        } else {
            v_load_deinterleave(src, b, g, r);
        }
        const v_uint8 v = v_max(b, v_max(g, r));
        const v_uint8 diff = v - v_min(b, v_min(g, r));
        const v_uint8 v255 = vx_setall_u8(0xff), vz = vx_setzero_u8();
        const v_uint8 vr = v_select(v == r, v255, vz), vg = v_select(v == g, v255, vz);

        // Hue numerator in 16 bits: g - b, b - r + 2 diff or r - g + 4 diff.
        v_uint16 bdu[2], gdu[2], rdu[2], vd[2], dd[2];
        v_expand(b, bdu[0], bdu[1]);
        v_expand(g, gdu[0], gdu[1]);
        v_expand(r, rdu[0], rdu[1]);
        v_expand(v, vd[0], vd[1]);
        v_expand(diff, dd[0], dd[1]);
        v_int16 vrd[2], vgd[2];
        v_expand(v_reinterpret_as_s8(vr), vrd[0], vrd[1]);
        v_expand(v_reinterpret_as_s8(vg), vgd[0], vgd[1]);
        v_int32 bi[4], gi[4], ri[4];
        for (int k = 0; k < 2; k++) {
            const v_int16 bk = v_reinterpret_as_s16(bdu[k]), gk = v_reinterpret_as_s16(gdu[k]),
                          rk = v_reinterpret_as_s16(rdu[k]), dk = v_reinterpret_as_s16(dd[k]);
            const v_int16 hn = (vrd[k] & (gk - bk)) +
                               ((~vrd[k]) & ((vgd[k] & (bk - rk + (dk << 1))) + ((~vgd[k]) & (rk - gk + (dk << 2)))));
            v_int32 hq[2], vq[2], dq[2];
            v_expand(hn, hq[0], hq[1]);
            v_expand(v_reinterpret_as_s16(vd[k]), vq[0], vq[1]);
            v_expand(dk, dq[0], dq[1]);
            for (int j = 0; j < 2; j++) {
                // The division tables, as float quotients: rint(255 * 4096 / v)
                // and rint(180 * 4096 / (6 diff)) are exact in float for 8-bit v, diff.
                const v_int32 sdiv = v_round(kS / v_cvt_f32(v_max(vq[j], one)));
                const v_int32 hdiv = v_round(kH / v_cvt_f32(v_max(dq[j], one)));
                const v_int32 sat = (dq[j] * sdiv + half) >> kHsvShift;
                v_int32 hue = (hq[j] * hdiv + half) >> kHsvShift;
                hue = hue + (hr & (hue < vx_setzero_s32()));
                to_bgr(hue, scaled(sat, vas), scaled(vq[j], vav), bi[2 * k + j], gi[2 * k + j], ri[2 * k + j]);
            }
        }
        v_store_interleave(dst, v_pack(v_pack_u(bi[0], bi[1]), v_pack_u(bi[2], bi[3])),
                           v_pack(v_pack_u(gi[0], gi[1]), v_pack_u(gi[2], gi[3])),
                           v_pack(v_pack_u(ri[0], ri[1]), v_pack_u(ri[2], ri[3])));
    }
#endif
    for (; i < n; i++, src += scn, dst += 3) tail_pixel(src, a_s, a_v, dst);
}

}  // namespace

void hsv_jitter_rows(const uint8_t* src, size_t src_step, int src_cn, uint8_t* dst, size_t dst_step, int rows,
                     int cols, float a_s, float a_v) {
    for (int y = 0; y < rows; ++y) jitter_row(src + y * src_step, src_cn, dst + y * dst_step, cols, a_s, a_v);
    vx_cleanup();
}

}  // namespace KIRO_ISA
}  // namespace kiro
