// Resizing of 8-bit images (bicubic) and of masks (nearest neighbour) that
// gives the same bytes as cv::resize with INTER_CUBIC / INTER_NEAREST, in
// OpenCV's fixed-point scheme: 11-bit coefficients, a horizontal pass in
// exact integers and a vertical pass that rounds as OpenCV's 128-bit one.
#pragma once

#include <opencv2/core.hpp>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/dispatch.hpp"

namespace kiro {

// Bicubic tables for one (source size, destination size, channels).
// Elements are counted along a row: e = x * cn + c.
struct CubicTables {
    int src_w = 0, src_h = 0, dst_w = 0, dst_h = 0, cn = 0;
    std::vector<int> ofs;                // per element: its tap word in a bordered source row
    std::vector<int> px;                 // per destination pixel: the word of its first channel
    std::vector<int16_t> even, odd;      // per coefficient slot (see the kernels): (a0, a2), (a1, a3)
    std::vector<int> yofs;               // per destination row: source row of tap 1
    std::vector<int16_t> beta;           // per destination row: 4 coefficients
};

// Nearest-neighbour tables: source column (in bytes) and row of every
// destination column and row.
struct NearestTables {
    int src_w = 0, src_h = 0, dst_w = 0, dst_h = 0, elem = 0;
    std::vector<int> xofs, yofs;
};

}  // namespace kiro

// Kernels fill tables sized by the callers below (no allocation in the
// kernels, whose inline library code is built for two instruction sets).
KIRO_DECLARE_KERNELS(
    void cubic_tables(CubicTables& t);
    // Destination rows [y0, y1) of a bicubic resize of an 8-bit image.
    void resize_cubic_8u(const CubicTables& t, const uint8_t* src, size_t src_step, uint8_t* dst,
                         size_t dst_step, int y0, int y1);
    void nearest_tables(NearestTables& t);
    // Destination rows [y0, y1) of a nearest-neighbour resize of elements of
    // t.elem bytes.
    void resize_nearest(const NearestTables& t, const uint8_t* src, size_t src_step, uint8_t* dst,
                        size_t dst_step, int y0, int y1);
    // Bytes in one SIMD register of this build (16 baseline, 32 AVX2).
    int simd_width();)

namespace kiro {

// Row stripes run on kiro's OpenCV threads (sequential after
// set_num_threads(0)), in pieces of about 64K destination elements as OpenCV
// cuts its own resize.
template <class F>
void resize_rows(const cv::Mat& dst, F&& rows) {
    cv::parallel_for_(cv::Range(0, dst.rows), [&](const cv::Range& r) { rows(r.start, r.end); },
                      static_cast<double>(dst.total()) / (1 << 16));
}

inline void size_tables(CubicTables& t, int src_w, int src_h, int dst_w, int dst_h, int cn) {
    t.src_w = src_w, t.src_h = src_h, t.dst_w = dst_w, t.dst_h = dst_h, t.cn = cn;
    const size_t n = static_cast<size_t>(dst_w) * cn;
    const size_t slots = static_cast<size_t>(dst_w) * (cn >= 3 ? 4 : cn) + 8;
    t.ofs.resize(n);
    t.px.resize(dst_w);
    t.even.resize(2 * slots);
    t.odd.resize(2 * slots);
    t.yofs.resize(dst_h);
    t.beta.resize(4 * static_cast<size_t>(dst_h));
}

inline void size_tables(NearestTables& t, int src_w, int src_h, int dst_w, int dst_h, int elem) {
    t.src_w = src_w, t.src_h = src_h, t.dst_w = dst_w, t.dst_h = dst_h, t.elem = elem;
    t.xofs.resize(dst_w);
    t.yofs.resize(dst_h);
}

// True when resize_cubic can take the pair: 8-bit, 1 to 4 channels.
inline bool cubic_supported(const cv::Mat& src) { return src.depth() == CV_8U && src.channels() <= 4; }

// dst (allocated, its size the target) = src resized bicubically. Any size
// to any size; equal sizes copy, as cv::resize does.
inline void resize_cubic(const cv::Mat& src, cv::Mat& dst) {
    CV_Assert(cubic_supported(src) && dst.type() == src.type() && !src.empty() && !dst.empty());
    if (src.size() == dst.size()) {
        src.copyTo(dst);
        return;
    }
    CubicTables t;
    size_tables(t, src.cols, src.rows, dst.cols, dst.rows, src.channels());
    KIRO_DISPATCH(cubic_tables)(t);
    const auto run = KIRO_DISPATCH(resize_cubic_8u);
    resize_rows(dst, [&](int y0, int y1) { run(t, src.data, src.step, dst.data, dst.step, y0, y1); });
}

// dst = src resized to dst's size by nearest neighbour, elements of any
// size moved whole (the mask's element type does not matter).
inline void resize_nearest(const cv::Mat& src, cv::Mat& dst) {
    CV_Assert(dst.type() == src.type() && !src.empty() && !dst.empty());
    if (src.size() == dst.size()) {
        src.copyTo(dst);
        return;
    }
    NearestTables t;
    size_tables(t, src.cols, src.rows, dst.cols, dst.rows, static_cast<int>(src.elemSize()));
    KIRO_DISPATCH(nearest_tables)(t);
    const auto run = KIRO_DISPATCH(resize_nearest);
    resize_rows(dst, [&](int y0, int y1) { run(t, src.data, src.step, dst.data, dst.step, y0, y1); });
}

}  // namespace kiro
