// Seamless cloning (Poisson image editing) of an 8-bit BGR patch into an 8-bit
// BGR image, with the results of OpenCV's cv::seamlessClone for NORMAL_CLONE,
// MIXED_CLONE and MONOCHROME_TRANSFER:
//  - the mask (three channels read as their BGR -> grey conversion) loses its
//    one-pixel frame; the solve region is the bounding box of what is left,
//    centred on the given point;
//  - the guidance field blends the destination's and the patch's forward
//    differences by the mask eroded with a 7 x 7 square (zero outside the box);
//  - the box's outer ring keeps the destination (Dirichlet boundary), the
//    inside is the Poisson solution, clamped to [0, 255] and cut toward zero.
// The solve (kernels/clone.cpp) is a 2-D sine transform on kiro's own FFT,
// whose cost does not depend on the sides' prime factors. Boxes where the cut
// to whole levels hangs on float rounding alone (tiny ones, and those whose
// exact solution is the destination itself) are solved in OpenCV's float
// arrangement on cv::dft instead, so they round as cv::seamlessClone does. A
// box without inside (thinner than 3 pixels) has nothing to solve: the
// destination comes back unchanged.
#pragma once

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/photo.hpp>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "common/dispatch.hpp"

namespace kiro {

// One solve: h x w box (h, w >= 3), all pixels BGR (3 bytes) unless noted.
struct CloneJob {
    const uint8_t* dst;     // destination under the box
    size_t dst_step;
    const uint8_t* src;     // patch under the box, zero outside the mask
    size_t src_step;
    const uint8_t* grey;    // its grey conversion (MONOCHROME_TRANSFER only; 1 byte a pixel)
    size_t grey_step;
    const uint8_t* weight;  // eroded mask (1 byte a pixel)
    size_t weight_step;
    uint8_t* out;           // result box (may alias dst's memory only when out == dst)
    size_t out_step;
    int h, w, flag;
};

}  // namespace kiro

KIRO_DECLARE_KERNELS(void poisson_clone(const CloneJob& job);)

namespace kiro {
namespace clone {

// The clone's single-channel mask: a three- or four-channel one as its grey
// conversion, the one-pixel frame cleared.
inline cv::Mat grey_mask(const cv::Mat& mask) {
    cv::Mat g;
    if (mask.channels() == 1)
        mask.copyTo(g);
    else
        cv::cvtColor(mask, g, mask.channels() == 4 ? cv::COLOR_BGRA2GRAY : cv::COLOR_BGR2GRAY);
    if (g.rows <= 2 || g.cols <= 2) {
        g.setTo(0);
    } else {
        g.row(0).setTo(0), g.row(g.rows - 1).setTo(0);
        g.col(0).setTo(0), g.col(g.cols - 1).setTo(0);
    }
    return g;
}

// Sine transform of every row, then column, of `src` in OpenCV's own
// arrangement: complex DFTs (cv::dft) of the odd extensions, in float.
inline void dft_sine(const cv::Mat& src, cv::Mat& dest, bool invert) {
    const int flag = invert ? cv::DFT_ROWS + cv::DFT_SCALE + cv::DFT_INVERSE : cv::DFT_ROWS;
    cv::Mat temp = cv::Mat::zeros(src.rows, 2 * src.cols + 2, CV_32F);
    src.copyTo(temp(cv::Rect(1, 0, src.cols, src.rows)));
    for (int j = 0; j < src.rows; ++j) {
        float* t = temp.ptr<float>(j);
        const float* s = src.ptr<float>(j);
        for (int i = 0; i < src.cols; ++i) t[src.cols + 2 + i] = -s[src.cols - 1 - i];
    }
    cv::Mat planes[] = {temp, cv::Mat::zeros(temp.size(), CV_32F)};
    cv::Mat complex;
    cv::merge(planes, 2, complex);
    cv::dft(complex, complex, flag);
    cv::split(complex, planes);
    temp = cv::Mat::zeros(src.cols, 2 * src.rows + 2, CV_32F);
    for (int j = 0; j < src.cols; ++j) {
        float* t = temp.ptr<float>(j);
        for (int i = 0; i < src.rows; ++i) {
            const float v = planes[1].ptr<float>(i)[j + 1];
            t[i + 1] = v, t[temp.cols - 1 - i] = -v;
        }
    }
    cv::Mat planes2[] = {temp, cv::Mat::zeros(temp.size(), CV_32F)};
    cv::merge(planes2, 2, complex);
    cv::dft(complex, complex, flag);
    cv::split(complex, planes2);
    temp = planes2[1].t();
    temp(cv::Rect(0, 1, src.cols, src.rows)).copyTo(dest);
}

// Guidance field of one channel at (y, x): forward differences of the
// destination and the patch, blended by the weights as OpenCV does it (in
// float, products rounded before the sum).
struct Guide {
    const CloneJob& J;
    int ch;
    float d(int y, int x) const { return J.dst[y * J.dst_step + x * 3 + ch]; }
    float s(int y, int x) const {
        return J.flag == cv::MONOCHROME_TRANSFER ? J.grey[y * J.grey_step + x] : J.src[y * J.src_step + x * 3 + ch];
    }
    float m(int y, int x) const { return static_cast<float>(J.weight[y * J.weight_step + x]) * kInv255; }
    float mi(int y, int x) const { return static_cast<float>(255 - J.weight[y * J.weight_step + x]) * kInv255; }
    // the patch's share: its gradient or, for MIXED_CLONE, the destination's where that is stronger
    void patch(int y, int x, float& px, float& py) const {
        const float dgx = d(y, x + 1) - d(y, x), dgy = d(y + 1, x) - d(y, x);
        px = s(y, x + 1) - s(y, x), py = s(y + 1, x) - s(y, x);
        if (J.flag == cv::MIXED_CLONE && !(std::fabs(px - py) > std::fabs(dgx - dgy))) px = dgx, py = dgy;
    }
    float gx(int y, int x) const {
        float px, py;
        patch(y, x, px, py);
        const float a = (d(y, x + 1) - d(y, x)) * mi(y, x);
        const float b = px * m(y, x);
        return a + b;
    }
    float gy(int y, int x) const {
        float px, py;
        patch(y, x, px, py);
        const float a = (d(y + 1, x) - d(y, x)) * mi(y, x);
        const float b = py * m(y, x);
        return a + b;
    }
    static constexpr float kInv255 = static_cast<float>(1.0 / 255.0);
};

// True when the guidance is the destination's own wherever it is weighted:
// the exact solution is then the destination itself, and only rounding
// decides between a level and the one below.
inline bool keeps_destination(const CloneJob& J) {
    for (int ch = 0; ch < 3; ++ch) {
        const Guide g{J, ch};
        for (int y = 0; y < J.h - 1; ++y)
            for (int x = 0; x < J.w - 1; ++x) {
                if (!J.weight[y * J.weight_step + x]) continue;
                float px, py;
                g.patch(y, x, px, py);
                if (px != g.d(y, x + 1) - g.d(y, x) || py != g.d(y + 1, x) - g.d(y, x)) return false;
            }
    }
    return true;
}

// The whole solve in OpenCV's float arrangement (cv::dft), for the boxes
// where its rounding decides the result: tiny ones, and those whose exact
// solution is the destination.
inline void opencv_solve(const CloneJob& J) {
    const int h = J.h, w = J.w, H = h - 2, W = w - 2;
    std::vector<float> fx(W), fy(H);
    for (int i = 0; i < W; ++i) fx[i] = 2.0f * static_cast<float>(std::cos(CV_PI / (w - 1) * (i + 1)));
    for (int j = 0; j < H; ++j) fy[j] = 2.0f * static_cast<float>(std::cos(CV_PI / (h - 1) * (j + 1)));
    cv::Mat rhs(H, W, CV_32F), res, u;
    for (int ch = 0; ch < 3; ++ch) {
        const Guide g{J, ch};
        for (int y = 1; y <= H; ++y) {
            float* r = rhs.ptr<float>(y - 1);
            for (int x = 1; x <= W; ++x) {
                const float lx = g.gx(y, x) - g.gx(y, x - 1);
                const float ly = g.gy(y, x) - g.gy(y - 1, x);
                float ring = 0.0f;
                if (x == 1) ring += g.d(y, 0);
                if (x == W) ring += g.d(y, w - 1);
                if (y == 1) ring += g.d(0, x);
                if (y == H) ring += g.d(h - 1, x);
                r[x - 1] = (lx + ly) - ring;
            }
        }
        dft_sine(rhs, res, false);
        for (int j = 0; j < H; ++j) {
            float* r = res.ptr<float>(j);
            for (int i = 0; i < W; ++i) r[i] /= (fx[i] + fy[j] - 4);
        }
        dft_sine(res, u, true);
        for (int y = 0; y < h; ++y) {
            uint8_t* o = J.out + y * J.out_step;
            for (int x = 0; x < w; ++x) {
                if (y == 0 || y == h - 1 || x == 0 || x == w - 1) {
                    o[x * 3 + ch] = J.dst[y * J.dst_step + x * 3 + ch];
                    continue;
                }
                const float v = u.ptr<float>(y - 1)[x - 1];
                o[x * 3 + ch] = v < 0.0f ? 0 : v > 255.0f ? 255 : static_cast<uint8_t>(v);
            }
        }
    }
}

// Boxes (pixels) up to which opencv_solve serves: every box this small, and
// boxes whose solution is the destination up to the larger size (above it,
// kiro's own solve agrees with OpenCV on more than 99 % of their pixels).
constexpr int kTinyArea = 40 * 40;
constexpr int kKeepArea = 192 * 192;

using CloneSolve = void (*)(const CloneJob&);

// Seamless clone of `src` (masked by `mask`, same size) into a copy of `dst`,
// the mask's box centred on `p`; the result goes to `blend` (allocated when
// it does not have dst's size and type). `solve` picks a kernel build (the
// processor's by default). Runs without touching Python.
inline void seamless(const cv::Mat& src, const cv::Mat& dst, const cv::Mat& mask, cv::Point p, cv::Mat& blend,
                     int flag, CloneSolve solve = nullptr) {
    CV_Assert(!src.empty() && src.type() == CV_8UC3 && dst.type() == CV_8UC3);
    CV_Assert(mask.depth() == CV_8U && mask.size() == src.size());
    CV_Assert(flag == cv::NORMAL_CLONE || flag == cv::MIXED_CLONE || flag == cv::MONOCHROME_TRANSFER);
    const cv::Mat m = grey_mask(mask);
    const cv::Rect box = cv::boundingRect(m);
    if (blend.size() != dst.size() || blend.type() != dst.type()) blend.create(dst.size(), dst.type());
    if (blend.data != dst.data) dst.copyTo(blend);
    if (box.empty()) return;
    const cv::Rect at(p.x - box.width / 2, p.y - box.height / 2, box.width, box.height);
    if (at.x < 0 || at.y < 0 || at.x + at.width > dst.cols || at.y + at.height > dst.rows)
        CV_Error(cv::Error::StsOutOfRange,
                 "seamless clone: the clone area (" + std::to_string(box.width) + " x " +
                     std::to_string(box.height) + " pixels centred on (" + std::to_string(p.x) + ", " +
                     std::to_string(p.y) + ")) leaves the destination image");
    if (box.width < 3 || box.height < 3) return;  // all boundary: nothing to solve

    const cv::Mat mroi = m(box);
    cv::Mat patch = cv::Mat::zeros(box.size(), CV_8UC3);
    src(box).copyTo(patch, mroi);
    cv::Mat grey;
    if (flag == cv::MONOCHROME_TRANSFER) cv::cvtColor(patch, grey, cv::COLOR_BGR2GRAY);
    // 7 x 7 erosion (three 3 x 3 passes) with zeros around the box.
    cv::Mat padded, eroded;
    cv::copyMakeBorder(mroi, padded, 3, 3, 3, 3, cv::BORDER_CONSTANT, cv::Scalar(0));
    cv::erode(padded, eroded, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(7, 7)));
    const cv::Mat weight = eroded(cv::Rect(3, 3, box.width, box.height));
    // The destination box is read before the result box is written: keep a
    // copy when both are the same memory.
    cv::Mat under = dst(at);
    if (blend.data == dst.data) under = under.clone();
    cv::Mat out = blend(at);

    CloneJob job{under.data, under.step, patch.data, patch.step, grey.empty() ? nullptr : grey.data,
                 grey.empty() ? 0 : static_cast<size_t>(grey.step), weight.data, weight.step, out.data, out.step,
                 box.height, box.width, flag};
    if (box.area() <= kTinyArea || (box.area() <= kKeepArea && keeps_destination(job))) {
        opencv_solve(job);
        return;
    }
    (solve ? solve : KIRO_DISPATCH(poisson_clone))(job);
}

}  // namespace clone
}  // namespace kiro
