// 8-bit HSV jitter in one pass: BGR -> HSV (OpenCV's 8-bit encoding, hue
// 0..179), saturation and value each times a factor (float product, clipped
// to [0, 255], truncated: the 256-entry table of one plane), HSV -> BGR.
//
// The result is what cv::cvtColor(COLOR_BGR2HSV), the two table lookups and
// cv::cvtColor(COLOR_HSV2BGR) give with the installed OpenCV: the kernel
// repeats OpenCV's integer forward conversion and the float backward one,
// including which pixels of a row its vector code handles and which its
// scalar tail (the two round differently). The first call checks that on a
// probe image; where they disagree (another OpenCV build or processor),
// hsv_jitter_u8 falls back to the OpenCV calls.
#pragma once

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdint>
#include <cstring>

#include "common/dispatch.hpp"

KIRO_DECLARE_KERNELS(
    // Rows of `src` (3 or 4 channels, the 4th ignored) into `dst` (3 channels).
    void hsv_jitter_rows(const uint8_t* src, size_t src_step, int src_cn, uint8_t* dst, size_t dst_step, int rows,
                         int cols, float a_s, float a_v);)

namespace kiro {

namespace hsv_detail {

// Plane value k times a: the float product, 0 unless positive (NaN too),
// at most 255, truncated.
inline uint8_t scaled(int k, float a) {
    const float p = static_cast<float>(k) * a;
    if (!(p > 0.0f)) return 0;
    return p >= 255.0f ? 255 : static_cast<uint8_t>(p);
}

// The same jitter with OpenCV's calls and the two tables.
inline void jitter_opencv(const cv::Mat& src, cv::Mat& dst, float a_s, float a_v) {
    uint8_t s_table[256], v_table[256];
    for (int k = 0; k < 256; ++k) s_table[k] = scaled(k, a_s), v_table[k] = scaled(k, a_v);
    cv::Mat hsv;
    cv::cvtColor(src, hsv, cv::COLOR_BGR2HSV);
    for (int y = 0; y < hsv.rows; ++y) {
        uint8_t* p = hsv.ptr<uint8_t>(y);
        for (int x = 0; x < hsv.cols; ++x) {
            p[3 * x + 1] = s_table[p[3 * x + 1]];
            p[3 * x + 2] = v_table[p[3 * x + 2]];
        }
    }
    cv::cvtColor(hsv, dst, cv::COLOR_HSV2BGR);
}

inline void run_kernel(const cv::Mat& src, cv::Mat& dst, float a_s, float a_v) {
    KIRO_DISPATCH(hsv_jitter_rows)(src.data, src.step, src.channels(), dst.data, dst.step, src.rows, src.cols, a_s,
                                   a_v);
}

// One probe: many colours (grey ones too) in rows long enough for the vector
// code with a scalar tail, at factors that keep, shrink, grow and clip.
inline bool kernel_agrees() {
    cv::Mat probe(96, 250, CV_8UC3);
    cv::RNG rng(0x6b69726f);
    rng.fill(probe, cv::RNG::UNIFORM, 0, 256);
    for (int x = 0; x < probe.cols; ++x) probe.at<cv::Vec3b>(0, x) = cv::Vec3b(x, x, x);
    const float factors[][2] = {{1.0f, 1.0f}, {1.37f, 0.61f}, {0.5f, 1.5f}, {0.0f, 2.0f}};
    for (auto& f : factors) {
        cv::Mat want, got(probe.size(), CV_8UC3);
        jitter_opencv(probe, want, f[0], f[1]);
        run_kernel(probe, got, f[0], f[1]);
        if (cv::norm(want, got, cv::NORM_INF) != 0) return false;
    }
    return true;
}

}  // namespace hsv_detail

// `src` 8-bit with 3 or 4 channels, `dst` 8-bit 3 channels of its size;
// the S plane scaled by a_s, the V plane by a_v.
inline void hsv_jitter_u8(const cv::Mat& src, cv::Mat& dst, float a_s, float a_v) {
    static const bool exact = hsv_detail::kernel_agrees();
    if (exact)
        hsv_detail::run_kernel(src, dst, a_s, a_v);
    else
        hsv_detail::jitter_opencv(src, dst, a_s, a_v);
}

}  // namespace kiro
