// 8-bit HSV jitter in one pass: BGR -> HSV (OpenCV's 8-bit encoding, hue
// 0..179), saturation and value through two 256-entry tables, HSV -> BGR.
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
                         int cols, const uint8_t* s_table, const uint8_t* v_table);)

namespace kiro {

namespace hsv_detail {

// The same jitter with OpenCV's calls.
inline void jitter_opencv(const cv::Mat& src, cv::Mat& dst, const uint8_t* s_table, const uint8_t* v_table) {
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

inline void run_kernel(const cv::Mat& src, cv::Mat& dst, const uint8_t* s_table, const uint8_t* v_table) {
    KIRO_DISPATCH(hsv_jitter_rows)(src.data, src.step, src.channels(), dst.data, dst.step, src.rows, src.cols,
                                   s_table, v_table);
}

// One probe: every hue, saturation and value in many combinations, rows long
// enough for the vector code with a scalar tail, through identity tables and
// through scrambled ones (so the backward conversion sees free S and V).
inline bool kernel_agrees() {
    cv::Mat probe(96, 250, CV_8UC3);
    cv::RNG rng(0x6b69726f);
    rng.fill(probe, cv::RNG::UNIFORM, 0, 256);
    for (int x = 0; x < 256 && x < probe.cols; ++x) probe.at<cv::Vec3b>(0, x) = cv::Vec3b(x, x, x);
    uint8_t identity[256], scramble_s[256], scramble_v[256];
    for (int k = 0; k < 256; ++k) {
        identity[k] = static_cast<uint8_t>(k);
        scramble_s[k] = static_cast<uint8_t>(rng.uniform(0, 256));
        scramble_v[k] = static_cast<uint8_t>(rng.uniform(0, 256));
    }
    const uint8_t* tables[2][2] = {{identity, identity}, {scramble_s, scramble_v}};
    for (auto& t : tables) {
        cv::Mat want, got(probe.size(), CV_8UC3);
        jitter_opencv(probe, want, t[0], t[1]);
        run_kernel(probe, got, t[0], t[1]);
        if (cv::norm(want, got, cv::NORM_INF) != 0) return false;
    }
    return true;
}

}  // namespace hsv_detail

// `src` 8-bit with 3 or 4 channels, `dst` 8-bit 3 channels of its size.
inline void hsv_jitter_u8(const cv::Mat& src, cv::Mat& dst, const uint8_t s_table[256], const uint8_t v_table[256]) {
    static const bool exact = hsv_detail::kernel_agrees();
    if (exact)
        hsv_detail::run_kernel(src, dst, s_table, v_table);
    else
        hsv_detail::jitter_opencv(src, dst, s_table, v_table);
}

}  // namespace kiro
