// HSV jitter kernel (see common/hsv.hpp). Each row goes to three planar
// buffers (H, S, V) by OpenCV's integer BGR -> HSV, through the two tables,
// and back by OpenCV's float HSV -> BGR. The backward conversion has two forms
// in OpenCV, a vector one for whole blocks of 4 float vectors (truncating) and
// a scalar one for the rest of the row (rounding); both are repeated here, with
// the fused multiply-adds the AVX2 build of the library contracts to.
#include <opencv2/core.hpp>
#include <opencv2/core/hal/intrin.hpp>

#include <cmath>
#include <cstdint>
#include <vector>

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

void bgr_to_hsv(const uint8_t* src, int scn, uint8_t* H, uint8_t* S, uint8_t* V, int n) {
    const int* sdiv_table = div_tables().sdiv;
    const int* hdiv_table = div_tables().hdiv;
    const int hr = 180;
    int i = 0;
#if CV_SIMD
    const int vsize = v_uint8::nlanes;
    for (; i <= n - vsize; i += vsize, src += scn * vsize) {
        v_uint8 b, g, r;
        if (scn == 4) {
            v_uint8 a;
            v_load_deinterleave(src, b, g, r, a);
        } else {
            v_load_deinterleave(src, b, g, r);
        }
        v_uint8 v = v_max(b, v_max(g, r));
        v_uint8 vmin = v_min(b, v_min(g, r));
        v_uint8 diff = v - vmin;
        v_uint8 v255 = vx_setall_u8(0xff), vz = vx_setzero_u8();
        v_uint8 vr = v_select(v == r, v255, vz);
        v_uint8 vg = v_select(v == g, v255, vz);

        v_uint16 vd[2];
        v_expand(v, vd[0], vd[1]);
        v_int32 vq[4];
        v_expand(v_reinterpret_as_s16(vd[0]), vq[0], vq[1]);
        v_expand(v_reinterpret_as_s16(vd[1]), vq[2], vq[3]);
        v_uint16 diffd[2];
        v_expand(diff, diffd[0], diffd[1]);
        v_int32 diffq[4];
        v_expand(v_reinterpret_as_s16(diffd[0]), diffq[0], diffq[1]);
        v_expand(v_reinterpret_as_s16(diffd[1]), diffq[2], diffq[3]);

        int32_t CV_DECL_ALIGNED(CV_SIMD_WIDTH) vidx[vsize];
        int32_t CV_DECL_ALIGNED(CV_SIMD_WIDTH) didx[vsize];
        for (int k = 0; k < 4; k++) {
            v_store_aligned(vidx + k * vsize / 4, vq[k]);
            v_store_aligned(didx + k * vsize / 4, diffq[k]);
        }
        v_int32 sq[4], hdiv[4];
        const v_int32 vdescale = vx_setall_s32(1 << (kHsvShift - 1));
        for (int k = 0; k < 4; k++) {
            const v_int32 sdiv = vx_lut(sdiv_table, vidx + k * vsize / 4);
            hdiv[k] = vx_lut(hdiv_table, didx + k * vsize / 4);
            sq[k] = (diffq[k] * sdiv + vdescale) >> kHsvShift;
        }
        v_uint8 s = v_pack_u(v_pack(sq[0], sq[1]), v_pack(sq[2], sq[3]));

        v_uint16 bdu[2], gdu[2], rdu[2];
        v_expand(b, bdu[0], bdu[1]);
        v_expand(g, gdu[0], gdu[1]);
        v_expand(r, rdu[0], rdu[1]);
        v_int16 vrd[2], vgd[2];
        v_expand(v_reinterpret_as_s8(vr), vrd[0], vrd[1]);
        v_expand(v_reinterpret_as_s8(vg), vgd[0], vgd[1]);
        v_int16 hd[2];
        for (int k = 0; k < 2; k++) {
            const v_int16 bk = v_reinterpret_as_s16(bdu[k]), gk = v_reinterpret_as_s16(gdu[k]),
                          rk = v_reinterpret_as_s16(rdu[k]), dk = v_reinterpret_as_s16(diffd[k]);
            v_int16 gb = gk - bk;
            v_int16 br = bk - rk + (dk << 1);
            v_int16 rg = rk - gk + (dk << 2);
            hd[k] = (vrd[k] & gb) + ((~vrd[k]) & ((vgd[k] & br) + ((~vgd[k]) & rg)));
        }
        v_int32 hq[4];
        v_expand(hd[0], hq[0], hq[1]);
        v_expand(hd[1], hq[2], hq[3]);
        for (int k = 0; k < 4; k++) hq[k] = (hq[k] * hdiv[k] + vdescale) >> kHsvShift;
        hd[0] = v_pack(hq[0], hq[1]);
        hd[1] = v_pack(hq[2], hq[3]);
        const v_int16 vhr = vx_setall_s16(static_cast<short>(hr)), vzd = vx_setzero_s16();
        hd[0] += v_select(hd[0] < vzd, vhr, vzd);
        hd[1] += v_select(hd[1] < vzd, vhr, vzd);
        v_store(H + i, v_pack_u(hd[0], hd[1]));
        v_store(S + i, s);
        v_store(V + i, v);
    }
#endif
    for (; i < n; i++, src += scn) {
        int b = src[0], g = src[1], r = src[2];
        int v = std::max(b, std::max(g, r));
        int vmin = std::min(b, std::min(g, r));
        uchar diff = saturate_cast<uchar>(v - vmin);
        int vr = v == r ? -1 : 0;
        int vg = v == g ? -1 : 0;
        int s = (diff * sdiv_table[v] + (1 << (kHsvShift - 1))) >> kHsvShift;
        int h = (vr & (g - b)) + (~vr & ((vg & (b - r + 2 * diff)) + ((~vg) & (r - g + 4 * diff))));
        h = (h * hdiv_table[diff] + (1 << (kHsvShift - 1))) >> kHsvShift;
        h += h < 0 ? hr : 0;
        H[i] = saturate_cast<uchar>(h);
        S[i] = static_cast<uchar>(s);
        V[i] = static_cast<uchar>(v);
    }
}

#if CV_SIMD
inline v_float32 one_minus(const v_float32& a, const v_float32& b) {
#if defined(KIRO_ISA_AVX2)
    return v_fma(vx_setzero_f32() - a, b, vx_setall_f32(1.0f));
#else
    return vx_setall_f32(1.0f) - a * b;
#endif
}

inline void hsv_to_bgr_block(v_float32 h, v_float32 s, v_float32 v, v_int32& bi, v_int32& gi, v_int32& ri) {
    const v_float32 one = vx_setall_f32(1.0f);
    s = s * vx_setall_f32(1.0f / 255.0f);
    v = v * vx_setall_f32(1.0f / 255.0f);
    h = h * vx_setall_f32(kHueScale);
    const v_float32 pre_sector = v_cvt_f32(v_trunc(h));
    h = h - pre_sector;
    const v_float32 tab0 = v;
    const v_float32 tab1 = v * (one - s);
    const v_float32 tab2 = v * one_minus(s, h);
    const v_float32 tab3 = v * one_minus(s, one - h);
    const v_float32 six = vx_setall_f32(6.0f);
    v_float32 sector = v_cvt_f32(v_trunc(pre_sector * vx_setall_f32(1.0f / 6.0f)));
#if defined(KIRO_ISA_AVX2)
    sector = v_fma(vx_setzero_f32() - sector, six, pre_sector);
#else
    sector = pre_sector - sector * six;
#endif
    const v_float32 c1 = one, c2 = vx_setall_f32(2.0f), c3 = vx_setall_f32(3.0f), c4 = vx_setall_f32(4.0f);
    v_float32 b = tab1 & (sector < c2);
    b = b | (tab3 & (sector == c2));
    b = b | (tab0 & (sector == c3));
    b = b | (tab0 & (sector == c4));
    b = b | (tab2 & (sector > c4));
    v_float32 g = tab3 & (sector < c1);
    g = g | (tab0 & (sector == c1));
    g = g | (tab0 & (sector == c2));
    g = g | (tab2 & (sector == c3));
    g = g | (tab1 & (sector > c3));
    v_float32 r = tab0 & (sector < c1);
    r = r | (tab2 & (sector == c1));
    r = r | (tab1 & (sector == c2));
    r = r | (tab1 & (sector == c3));
    r = r | (tab3 & (sector == c4));
    r = r | (tab0 & (sector > c4));
    const v_float32 k255 = vx_setall_f32(255.0f);
    bi = v_trunc(b * k255);
    gi = v_trunc(g * k255);
    ri = v_trunc(r * k255);
}
#endif

void hsv_to_bgr(const uint8_t* H, const uint8_t* S, const uint8_t* V, uint8_t* dst, int n) {
    int j = 0;
#if CV_SIMD
    const int q = v_float32::nlanes;
    for (; j <= n - 4 * q; j += 4 * q, dst += 3 * 4 * q) {
        v_int32 bi[4], gi[4], ri[4];
        for (int k = 0; k < 4; k++) {
            const v_float32 h = v_cvt_f32(v_reinterpret_as_s32(vx_load_expand_q(H + j + k * q)));
            const v_float32 s = v_cvt_f32(v_reinterpret_as_s32(vx_load_expand_q(S + j + k * q)));
            const v_float32 v = v_cvt_f32(v_reinterpret_as_s32(vx_load_expand_q(V + j + k * q)));
            hsv_to_bgr_block(h, s, v, bi[k], gi[k], ri[k]);
        }
        const v_uint8 b = v_pack(v_pack_u(bi[0], bi[1]), v_pack_u(bi[2], bi[3]));
        const v_uint8 g = v_pack(v_pack_u(gi[0], gi[1]), v_pack_u(gi[2], gi[3]));
        const v_uint8 r = v_pack(v_pack_u(ri[0], ri[1]), v_pack_u(ri[2], ri[3]));
        v_store_interleave(dst, b, g, r);
    }
#endif
    static const int sector_data[][3] = {{1, 3, 0}, {1, 0, 2}, {3, 0, 1}, {0, 2, 1}, {0, 1, 3}, {2, 1, 0}};
    for (; j < n; j++, dst += 3) {
        float h = H[j], s = S[j] * (1.0f / 255.0f), v = V[j] * (1.0f / 255.0f);
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
}

}  // namespace

void hsv_jitter_rows(const uint8_t* src, size_t src_step, int src_cn, uint8_t* dst, size_t dst_step, int rows,
                     int cols, const uint8_t* s_table, const uint8_t* v_table) {
    std::vector<uint8_t> planes(3 * static_cast<size_t>(cols) + 64);
    uint8_t *H = planes.data(), *S = H + cols, *V = S + cols;
    for (int y = 0; y < rows; ++y) {
        bgr_to_hsv(src + y * src_step, src_cn, H, S, V, cols);
        for (int x = 0; x < cols; ++x) {
            S[x] = s_table[S[x]];
            V[x] = v_table[V[x]];
        }
        hsv_to_bgr(H, S, V, dst + y * dst_step, cols);
    }
    vx_cleanup();
}

}  // namespace KIRO_ISA
}  // namespace kiro
