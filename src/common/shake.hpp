// Shake of an 8-bit image in one pass: translation by cv::warpAffine's
// bilinear fixed point (black border), cv::addWeighted(image, 0.7, shifted,
// 0.3, 0) and cv::GaussianBlur(3 x 3, sigma 2, BORDER_REFLECT_101) with its
// 8-bit fixed-point kernel, streamed row by row.
//
// The result equals the three OpenCV calls. The blend is the one step whose
// rounding depends on the library's build (fused multiply-add or not), so the
// first call checks the kernel against the installed OpenCV on every pair of
// 8-bit values and on probe images, and uses the OpenCV calls where they
// differ.
#pragma once

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "common/dispatch.hpp"
#include "common/warp.hpp"

KIRO_DECLARE_KERNELS(
    void blend_u8(const uint8_t* a, const uint8_t* b, uint8_t* out, int n);
    void shake_rows(const uint8_t* src, size_t src_step, uint8_t* dst, size_t dst_step, int rows, int cols, int cn,
                    const double* M, int y0, int y1);)

namespace kiro {

namespace shake_detail {

inline void shake_opencv(const cv::Mat& src, cv::Mat& dst, float x, float y) {
    const cv::Matx23f translation(1, 0, x, 0, 1, y);
    cv::Mat shifted;
    cv::warpAffine(src, shifted, cv::Mat(translation), src.size());
    cv::addWeighted(src, 0.7, shifted, 0.3, 0, shifted);
    cv::GaussianBlur(shifted, dst, cv::Size(3, 3), 2);
}

// The inverse map cv::warpAffine samples with for a shift by (x, y).
inline void inverse_map(float x, float y, double M[6]) {
    warp_detail::inverse_map(cv::Matx23d(1, 0, x, 0, 1, y), false, M);
}

inline void run_kernel(const cv::Mat& src, cv::Mat& dst, float x, float y) {
    double M[6];
    inverse_map(x, y, M);
    const int rows = src.rows;
    const int stripes = std::max(1, std::min(cv::getNumThreads(), rows / 32));
    auto body = [&](const cv::Range& r) {
        const int y0 = static_cast<int>(static_cast<long long>(rows) * r.start / stripes);
        const int y1 = static_cast<int>(static_cast<long long>(rows) * r.end / stripes);
        KIRO_DISPATCH(shake_rows)(src.data, src.step, dst.data, dst.step, rows, src.cols, src.channels(), M, y0, y1);
    };
    if (stripes == 1)
        body(cv::Range(0, 1));
    else
        cv::parallel_for_(cv::Range(0, stripes), body);
}

inline bool kernel_agrees() {
    // Every pair of 8-bit values through the blend.
    cv::Mat a(256, 256, CV_8U), b(256, 256, CV_8U), want, got(256, 256, CV_8U);
    for (int i = 0; i < 256; ++i)
        for (int j = 0; j < 256; ++j) a.at<uint8_t>(i, j) = i, b.at<uint8_t>(i, j) = j;
    cv::addWeighted(a, 0.7, b, 0.3, 0, want);
    for (int i = 0; i < 256; ++i) KIRO_DISPATCH(blend_u8)(a.ptr(i), b.ptr(i), got.ptr(i), 256);
    if (cv::norm(want, got, cv::NORM_INF) != 0) return false;
    // Whole shakes, whole and fractional shifts, edges included.
    cv::RNG rng(0x6b69726f);
    const float shifts[][2] = {{3, -4}, {1.5f, -2.25f}, {-0.40625f, 0.71875f}, {0, 0}};
    for (int cn : {1, 3, 4}) {
        cv::Mat probe(41, 67, CV_8UC(cn));
        rng.fill(probe, cv::RNG::UNIFORM, 0, 256);
        for (auto& s : shifts) {
            cv::Mat expect, out(probe.size(), probe.type());
            shake_opencv(probe, expect, s[0], s[1]);
            run_kernel(probe, out, s[0], s[1]);
            if (cv::norm(expect, out, cv::NORM_INF) != 0) return false;
        }
    }
    return true;
}

}  // namespace shake_detail

// blur(0.7 * src + 0.3 * src shifted by (x, y)) into `dst` (src's size and type,
// not aliasing it).
inline void shake(const cv::Mat& src, cv::Mat& dst, float x, float y) {
    static const bool exact = shake_detail::kernel_agrees();
    // Coordinates and offsets stay far inside the warp's 16-bit and 32-bit ranges.
    const bool fits = src.depth() == CV_8U && !src.empty() && src.rows < 32000 && src.cols < 32000 && std::isfinite(x) &&
                      std::isfinite(y) && std::abs(x) <= 1e6f && std::abs(y) <= 1e6f;
    if (exact && fits)
        shake_detail::run_kernel(src, dst, x, y);
    else
        shake_detail::shake_opencv(src, dst, x, y);
}

}  // namespace kiro
