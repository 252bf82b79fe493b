// cv::flip into an allocated destination (not aliasing the source), by
// kiro's kernels: flip codes as OpenCV's (1 horizontal, 0 vertical, -1 both).
#pragma once

#include <opencv2/core.hpp>

#include <cstdint>

#include "common/dispatch.hpp"

KIRO_DECLARE_KERNELS(
    void flip_rows(const uint8_t* src, size_t src_step, int rows, int cols, int elem, uint8_t* dst, size_t dst_step,
                   bool horizontal, bool vertical, int y0, int y1);)

namespace kiro {

inline void flip(const cv::Mat& src, cv::Mat& dst, int code) {
    CV_Assert(src.size() == dst.size() && src.type() == dst.type() && src.data != dst.data);
    const auto run = KIRO_DISPATCH(flip_rows);
    const int elem = static_cast<int>(src.elemSize());
    cv::parallel_for_(
        cv::Range(0, src.rows),
        [&](const cv::Range& r) {
            run(src.data, src.step, src.rows, src.cols, elem, dst.data, dst.step, code != 0, code <= 0, r.start, r.end);
        },
        static_cast<double>(src.total() * src.elemSize()) / (1 << 18));
}

}  // namespace kiro
