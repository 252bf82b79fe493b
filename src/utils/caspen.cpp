// Fit-to-base scaling: scale a second image to a random size relative to a base
// image, keeping its aspect ratio, and give it the base image's channel count.
#include <pybind11/pybind11.h>

#include <opencv2/imgproc.hpp>

#include <cmath>

#include "common/arrays.hpp"
#include "common/draws.hpp"
#include "common/errors.hpp"

namespace py = pybind11;
using kiro::Image;

namespace {

struct Sizes {
    long long h, w, c;
};

Sizes sizes_of(const py::array& a, const char* name) {
    if (a.ndim() != 2 && a.ndim() != 3)
        throw py::value_error(std::string(name) + " must have 2 or 3 axes, got " + std::to_string(a.ndim()));
    return {a.shape(0), a.shape(1), a.ndim() == 3 ? a.shape(2) : 1};
}

double ratio_entry(py::handle size_ratio, int i) {
    py::object v = size_ratio[py::int_(i)];
    return py::float_(v).cast<double>();
}

// Random length along one side of the base: randint over the truncated bounds.
long long draw_side(long long base_side, py::handle size_ratio) {
    const double lo = ratio_entry(size_ratio, 0), hi = ratio_entry(size_ratio, 1);
    return kiro::draw::randint(static_cast<long long>(std::trunc(base_side * lo)),
                               static_cast<long long>(std::trunc(base_side * hi)));
}

long long follow(long long side, long long from, long long to) {
    return static_cast<long long>(std::trunc(static_cast<double>(side) / from * to));
}

}  // namespace

py::tuple caspen(py::object image, py::object image2, py::object size_ratio) {
    const Sizes base = sizes_of(kiro::as_ndarray(image, "image"), "image");
    py::array src_array = kiro::as_ndarray(image2, "image2");
    const Sizes wm = sizes_of(src_array, "image2");
    if (wm.h == 0 || wm.w == 0 || wm.c == 0) throw py::value_error("image2 is empty");
    if (base.c < 1) throw py::value_error("image has no channels");

    long long re_h, re_w;
    if (wm.w > wm.h) {
        re_w = draw_side(base.w, size_ratio);
        re_h = follow(re_w, wm.w, wm.h);
        if (re_h > base.h) {
            re_h = base.h - 1;
            re_w = follow(re_h, wm.h, wm.w);
        }
    } else {
        re_h = draw_side(base.h, size_ratio);
        re_w = follow(re_h, wm.h, wm.w);
        if (re_w > base.w) {
            re_w = base.w - 1;
            re_h = follow(re_w, wm.w, wm.h);
        }
    }
    if (re_h <= 0 || re_w <= 0 || re_h > INT32_MAX || re_w > INT32_MAX)
        throw py::value_error("caspen: target size " + std::to_string(re_h) + " x " + std::to_string(re_w) +
                              " is not a valid image size");
    if (base.c > CV_CN_MAX) throw py::value_error("image has too many channels");

    Image src(src_array, "image2");
    py::array out = kiro::new_array(re_h, re_w, base.c, src.array.dtype());
    cv::Mat dst = kiro::mat_view(out, "result");
    const cv::Size size(static_cast<int>(re_w), static_cast<int>(re_h));
    const int keep = static_cast<int>(std::min(base.c, wm.c));
    {
        py::gil_scoped_release nogil;
        if (wm.c == base.c) {
            cv::resize(src.mat, dst, size);
        } else {
            // Channels are scaled independently, so picking them before or after
            // the resize gives the same pixels: pick on the smaller side.
            const bool pick_first = static_cast<double>(src.mat.total()) < static_cast<double>(re_h) * re_w;
            std::vector<int> pairs;
            for (int k = 0; k < keep; ++k) pairs.insert(pairs.end(), {k, k});
            if (wm.c > base.c) {
                if (pick_first) {
                    cv::Mat picked(src.mat.size(), CV_MAKETYPE(src.mat.depth(), keep));
                    cv::mixChannels(&src.mat, 1, &picked, 1, pairs.data(), keep);
                    cv::resize(picked, dst, size);
                } else {
                    cv::Mat scaled;
                    cv::resize(src.mat, scaled, size);
                    cv::mixChannels(&scaled, 1, &dst, 1, pairs.data(), keep);
                }
            } else {
                // Fewer channels than the base: the first channel, repeated.
                cv::Mat first(src.mat.size(), CV_MAKETYPE(src.mat.depth(), 1));
                const int from_to[] = {0, 0};
                cv::mixChannels(&src.mat, 1, &first, 1, from_to, 1);
                cv::Mat scaled;
                cv::resize(first, scaled, size);
                std::vector<cv::Mat> planes(static_cast<size_t>(base.c), scaled);
                cv::merge(planes, dst);
            }
        }
    }
    return py::make_tuple(out, re_h, re_w);
}

PYBIND11_MODULE(caspen, m) {
    kiro::register_errors();
    m.def("caspen", &caspen, py::arg("image"), py::arg("image2"), py::arg("size_ratio"),
          R"doc(Scale `image2` to a random size relative to `image`, keeping its aspect ratio.

The longer side of `image2` (its width when strictly wider than tall, else its
height) gets a random length in [side * size_ratio[0], side * size_ratio[1]] of
the base image's same side (one random.randint draw); the other side follows
the aspect ratio and is capped below the base image's side. The result has the
base image's channel count: extra channels are dropped, a source with fewer
channels has its first channel repeated.

Returns (scaled image2, re_h, re_w). Neither input is modified.)doc");
}
