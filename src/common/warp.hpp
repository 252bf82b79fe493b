// Affine and perspective warps with a constant border, equal to
// cv::warpAffine's and cv::warpPerspective's: bilinear for 8-bit images of 1,
// 3 or 4 channels, nearest-neighbour for single elements of 1, 2, 4 or 8
// bytes (masks of any element type, moved as raw bits). Everything else goes
// to OpenCV itself.
//
// The first call checks the kernels against the installed OpenCV on probe
// images (the coordinate arithmetic is floating point) and falls back to
// cv::warpAffine where they differ.
#pragma once

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "common/dispatch.hpp"

namespace kiro {

// A perspective warp of an 8-bit image of 1, 3 or 4 channels (bilinear)
// and/or a mask of single 1-, 2-, 4- or 8-byte elements (nearest), both of
// the source size, through the 3 x 3 destination-to-source map M; `block`
// is the column block of cv::warpPerspective's coordinate pass.
struct PerspectiveJob {
    const double* M = nullptr;
    int block = 64, src_rows = 0, src_cols = 0, dst_cols = 0;
    const uint8_t* image = nullptr;  // null: no image
    size_t image_step = 0, image_dst_step = 0;
    uint8_t* image_dst = nullptr;
    int cn = 0;
    const uint8_t* image_border = nullptr;
    const uint8_t* mask = nullptr;  // null: no mask
    size_t mask_step = 0, mask_dst_step = 0;
    uint8_t* mask_dst = nullptr;
    int elem = 0;
    const uint8_t* mask_border = nullptr;
};

}  // namespace kiro

KIRO_DECLARE_KERNELS(
    void warp_linear_u8(const uint8_t* src, size_t src_step, int src_rows, int src_cols, int cn, uint8_t* dst,
                        size_t dst_step, int dst_cols, const double* M, const uint8_t* border, int y0, int y1);
    void warp_nearest(const uint8_t* src, size_t src_step, int src_rows, int src_cols, int elem_size, uint8_t* dst,
                      size_t dst_step, int dst_cols, const double* M, const uint8_t* border, int y0, int y1);
    // Destination rows [y0, y1) of a perspective job.
    void warp_perspective(const PerspectiveJob& job, int y0, int y1);)

namespace kiro {

namespace warp_detail {

// The map from destination to source pixels, as cv::warpAffine derives it.
inline void inverse_map(const cv::Matx23d& M0, bool inverse, double M[6]) {
    for (int i = 0; i < 6; ++i) M[i] = M0.val[i];
    if (inverse) return;
    double D = M[0] * M[4] - M[1] * M[3];
    D = D != 0 ? 1. / D : 0;
    const double A11 = M[4] * D, A22 = M[0] * D;
    M[0] = A11;
    M[1] *= -D;
    M[3] *= -D;
    M[4] = A22;
    const double b1 = -M[0] * M[2] - M[1] * M[5];
    const double b2 = -M[3] * M[2] - M[4] * M[5];
    M[2] = b1;
    M[5] = b2;
}

// Sizes whose coordinates fit the warp's 16-bit cells and whose source byte
// offsets fit int.
inline bool sizes_fit(const cv::Mat& src, cv::Size dsize) {
    return !src.empty() && src.rows < 32000 && src.cols < 32000 && dsize.width > 0 && dsize.height > 0 &&
           dsize.width < 32000 && dsize.height < 32000 &&
           static_cast<double>(src.step) * src.rows < static_cast<double>(INT32_MAX);
}

template <class Rows>
void in_stripes(int rows, Rows run) {
    const int stripes = std::max(1, std::min(cv::getNumThreads(), rows / 32));
    auto body = [&](const cv::Range& r) {
        run(static_cast<int>(static_cast<long long>(rows) * r.start / stripes),
            static_cast<int>(static_cast<long long>(rows) * r.end / stripes));
    };
    if (stripes == 1)
        body(cv::Range(0, 1));
    else
        cv::parallel_for_(cv::Range(0, stripes), body);
}

inline void linear_kernel(const cv::Mat& src, cv::Mat& dst, const double M[6], const uint8_t* border) {
    in_stripes(dst.rows, [&](int y0, int y1) {
        KIRO_DISPATCH(warp_linear_u8)(src.data, src.step, src.rows, src.cols, src.channels(), dst.data, dst.step,
                                      dst.cols, M, border, y0, y1);
    });
}

inline void nearest_kernel(const cv::Mat& src, cv::Mat& dst, const double M[6], const uint8_t* border) {
    in_stripes(dst.rows, [&](int y0, int y1) {
        KIRO_DISPATCH(warp_nearest)(src.data, src.step, src.rows, src.cols, static_cast<int>(src.elemSize()),
                                    dst.data, dst.step, dst.cols, M, border, y0, y1);
    });
}

inline bool kernels_agree() {
    cv::RNG rng(0x6b69726f);
    const double angles[] = {10, -33, 45, 7.5};
    for (int cn : {1, 3, 4}) {
        cv::Mat probe(37, 53, CV_8UC(cn));
        rng.fill(probe, cv::RNG::UNIFORM, 0, 256);
        for (double angle : angles) {
            const cv::Matx23d R = cv::getRotationMatrix2D(cv::Point2f(26.5f, 18.5f), angle, 1.1);
            double M[6];
            inverse_map(R, false, M);
            const uint8_t border[4] = {7, 250, 0, 99};
            cv::Mat want, got(probe.size(), probe.type());
            cv::warpAffine(probe, want, R, probe.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT,
                           cv::Scalar(7, 250, 0, 99));
            linear_kernel(probe, got, M, border);
            if (cv::norm(want, got, cv::NORM_INF) != 0) return false;
            if (cn == 1) {
                cv::warpAffine(probe, want, R, probe.size(), cv::INTER_NEAREST, cv::BORDER_CONSTANT, cv::Scalar(7));
                nearest_kernel(probe, got, M, border);
                if (cv::norm(want, got, cv::NORM_INF) != 0) return false;
            }
        }
    }
    return true;
}

inline bool exact() {
    static const bool agree = kernels_agree();
    return agree;
}

}  // namespace warp_detail

// cv::warpAffine(src, dst, M, dst.size(), INTER_LINEAR [| WARP_INVERSE_MAP],
// BORDER_CONSTANT, border) into the allocated `dst` (not aliasing `src`).
inline void warp_affine_linear(const cv::Mat& src, cv::Mat& dst, const cv::Matx23d& M, const cv::Scalar& border,
                               bool inverse = false) {
    const int cn = src.channels();
    if (src.depth() == CV_8U && (cn == 1 || cn == 3 || cn == 4) && warp_detail::sizes_fit(src, dst.size()) &&
        warp_detail::exact()) {
        double map[6];
        warp_detail::inverse_map(M, inverse, map);
        uint8_t value[4];
        for (int k = 0; k < 4; ++k) value[k] = cv::saturate_cast<uint8_t>(border[k]);
        warp_detail::linear_kernel(src, dst, map, value);
        return;
    }
    cv::warpAffine(src, dst, M, dst.size(), cv::INTER_LINEAR | (inverse ? cv::WARP_INVERSE_MAP : 0),
                   cv::BORDER_CONSTANT, border);
}

// cv::warpAffine(..., INTER_NEAREST, BORDER_CONSTANT, ...) of single elements
// (`src` one channel of 1, 2 or 4 bytes, or CV_32SC2), the uncovered pixels set
// to the element whose bytes are `border` (elemSize() bytes).
inline void warp_affine_nearest(const cv::Mat& src, cv::Mat& dst, const cv::Matx23d& M, const uint8_t* border,
                                bool inverse = false) {
    const size_t elem = src.elemSize();
    const bool raw = src.channels() == 1 || src.type() == CV_32SC2;
    if (raw && (elem == 1 || elem == 2 || elem == 4 || elem == 8) && warp_detail::sizes_fit(src, dst.size()) &&
        warp_detail::exact()) {
        double map[6];
        warp_detail::inverse_map(M, inverse, map);
        warp_detail::nearest_kernel(src, dst, map, border);
        return;
    }
    cv::Scalar value;
    const int depth = src.depth();
    for (int k = 0; k < src.channels() && k < 4; ++k) {
        const uint8_t* b = border + k * CV_ELEM_SIZE1(depth);
        switch (depth) {
            case CV_8U: value[k] = *b; break;
            case CV_8S: value[k] = *reinterpret_cast<const int8_t*>(b); break;
            case CV_16U: { uint16_t v; std::memcpy(&v, b, 2); value[k] = v; break; }
            case CV_16S: { int16_t v; std::memcpy(&v, b, 2); value[k] = v; break; }
            case CV_32S: { int32_t v; std::memcpy(&v, b, 4); value[k] = v; break; }
            case CV_32F: { float v; std::memcpy(&v, b, 4); value[k] = v; break; }
            default: { double v; std::memcpy(&v, b, 8); value[k] = v; break; }
        }
    }
    cv::warpAffine(src, dst, M, dst.size(), cv::INTER_NEAREST | (inverse ? cv::WARP_INVERSE_MAP : 0),
                   cv::BORDER_CONSTANT, value);
}

namespace warp_detail {

// cv::warpPerspective's column block for a destination of `rows` rows.
inline int perspective_block(int rows, int cols) {
    int bh = std::min(16, rows);
    const int bw = std::min(1024 / bh, cols);
    return bw;
}

// The destination-to-source map as cv::warpPerspective inverts it.
inline void perspective_inverse(const cv::Matx33d& M, double out[9]) {
    cv::Mat inv;
    cv::invert(cv::Mat(M), inv);
    for (int i = 0; i < 9; ++i) out[i] = inv.at<double>(i / 3, i % 3);
}

inline void run_perspective(const PerspectiveJob& job, int rows) {
    in_stripes(rows, [&](int y0, int y1) { KIRO_DISPATCH(warp_perspective)(job, y0, y1); });
}

// The job for `image` (bilinear) and/or `mask` (nearest) of src_size into
// dst (either may be null).
inline PerspectiveJob perspective_job(const double M[9], const cv::Mat* image, cv::Mat* image_dst,
                                      const uint8_t* image_border, const cv::Mat* mask, cv::Mat* mask_dst,
                                      const uint8_t* mask_border) {
    PerspectiveJob j;
    const cv::Mat& any = image ? *image : *mask;
    const cv::Mat& any_dst = image ? *image_dst : *mask_dst;
    j.M = M;
    j.block = perspective_block(any_dst.rows, any_dst.cols);
    j.src_rows = any.rows;
    j.src_cols = any.cols;
    j.dst_cols = any_dst.cols;
    if (image) {
        j.image = image->data, j.image_step = image->step, j.image_dst = image_dst->data;
        j.image_dst_step = image_dst->step, j.cn = image->channels(), j.image_border = image_border;
    }
    if (mask) {
        j.mask = mask->data, j.mask_step = mask->step, j.mask_dst = mask_dst->data;
        j.mask_dst_step = mask_dst->step, j.elem = static_cast<int>(mask->elemSize()), j.mask_border = mask_border;
    }
    return j;
}

inline bool perspective_agrees() {
    cv::RNG rng(0x6b69726f);
    for (int cn : {1, 3, 4}) {
        for (cv::Size size : {cv::Size(53, 37), cv::Size(131, 9)}) {
            cv::Mat probe(size, CV_8UC(cn));
            rng.fill(probe, cv::RNG::UNIFORM, 0, 256);
            const cv::Point2f from[4] = {{0, 0}, {float(size.width), 0}, {float(size.width), float(size.height)},
                                         {0, float(size.height)}};
            const cv::Point2f to[4] = {{3.2f, 1.1f}, {size.width - 5.7f, -2.f}, {size.width + 4.f, size.height - 1.3f},
                                       {-2.5f, size.height - 3.f}};
            const cv::Matx33d H = cv::getPerspectiveTransform(from, to);
            double M[9];
            perspective_inverse(H, M);
            const uint8_t border[4] = {7, 250, 0, 99};
            cv::Mat want, got(probe.size(), probe.type());
            // Bilinear image and (viewed as single elements) nearest mask in one job.
            cv::Mat raw = cv::Mat(probe.rows, probe.cols, cn == 4 ? CV_32SC1 : cn == 3 ? CV_8UC1 : CV_8UC1, probe.data,
                                  probe.step);
            if (cn == 3) raw = probe.reshape(1);  // three times as wide, still single bytes
            cv::Mat raw_got(raw.size(), raw.type()), raw_want;
            const PerspectiveJob job = perspective_job(M, &probe, &got, border, cn == 3 ? nullptr : &raw, &raw_got,
                                                       border);
            run_perspective(job, got.rows);
            cv::warpPerspective(probe, want, H, probe.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT,
                                cv::Scalar(7, 250, 0, 99));
            if (cv::norm(want, got, cv::NORM_INF) != 0) return false;
            if (cn != 3) {
                cv::warpPerspective(probe, want, H, probe.size(), cv::INTER_NEAREST, cv::BORDER_CONSTANT,
                                    cv::Scalar(7, 250, 0, 99));
                cv::Mat back(probe.rows, probe.cols, probe.type(), raw_got.data, raw_got.step);
                if (cv::norm(want, back, cv::NORM_INF) != 0) return false;
            }
        }
    }
    return true;
}

inline bool perspective_exact() {
    static const bool agree = perspective_agrees();
    return agree;
}

}  // namespace warp_detail

// cv::warpPerspective of an image (with `flags`, `fill`) and/or a mask
// (nearest, its fill as a Scalar and as one element's bytes) by M into the
// allocated destinations; either pair may be null. 8-bit images of 1, 3 or 4
// channels warped bilinearly and masks of 1-, 2-, 4- or 8-byte elements go
// through kiro's kernels, in one coordinate pass; the rest to OpenCV.
inline void warp_perspective(const cv::Matx33d& M, const cv::Mat* image, cv::Mat* image_dst, int flags,
                             const cv::Scalar& fill, const cv::Mat* mask = nullptr, cv::Mat* mask_dst = nullptr,
                             const cv::Scalar& mask_fill = cv::Scalar(), const uint8_t* mask_raw_fill = nullptr) {
    const cv::Mat* own_image = nullptr;
    const cv::Mat* own_mask = nullptr;
    if (image && warp_detail::sizes_fit(*image, image_dst->size()) && flags == cv::INTER_LINEAR &&
        image->depth() == CV_8U && (image->channels() == 1 || image->channels() == 3 || image->channels() == 4))
        own_image = image;
    const size_t elem = mask ? mask->elemSize() : 0;
    if (mask && mask_raw_fill && warp_detail::sizes_fit(*mask, mask_dst->size()) &&
        (elem == 1 || elem == 2 || elem == 4 || elem == 8) && (mask->channels() == 1 || mask->type() == CV_32SC2))
        own_mask = mask;
    if ((own_image || own_mask) && !warp_detail::perspective_exact()) own_image = own_mask = nullptr;
    if (own_image || own_mask) {
        double map[9];
        warp_detail::perspective_inverse(M, map);
        uint8_t value[4];
        for (int k = 0; k < 4; ++k) value[k] = cv::saturate_cast<uint8_t>(fill[k]);
        const PerspectiveJob job = warp_detail::perspective_job(map, own_image, image_dst, value, own_mask, mask_dst,
                                                                mask_raw_fill);
        warp_detail::run_perspective(job, (own_image ? image_dst : mask_dst)->rows);
    }
    if (image && !own_image)
        cv::warpPerspective(*image, *image_dst, M, image_dst->size(), flags, cv::BORDER_CONSTANT, fill);
    if (mask && !own_mask)
        cv::warpPerspective(*mask, *mask_dst, M, mask_dst->size(), cv::INTER_NEAREST, cv::BORDER_CONSTANT, mask_fill);
}

}  // namespace kiro
