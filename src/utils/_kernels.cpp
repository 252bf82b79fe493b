// Direct entry to kiro's own pixel kernels, for the tests: which build the
// processor gets, and the resizes run on one chosen build.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>

#include "common/arrays.hpp"
#include "common/dispatch.hpp"
#include "common/resize.hpp"

namespace py = pybind11;

namespace {

// Kernel builds present in this module, the one picked at run time first.
py::list builds() {
    py::list out;
    out.append(kiro::kernel_isa());
#if defined(KIRO_HAVE_AVX2)
    if (kiro::cpu_has_avx2()) out.append("baseline");
#endif
    return out;
}

int simd_width(const std::string& isa) {
    if (isa == "baseline") return kiro::baseline::simd_width();
#if defined(KIRO_HAVE_AVX2)
    if (isa == "avx2" && kiro::cpu_has_avx2()) return kiro::avx2::simd_width();
#endif
    throw py::value_error("no kernel build " + isa + " on this processor");
}

// Masks (2 axes) of any element type are moved as raw elements.
struct Views {
    py::array src_array, out;
    cv::Mat src, dst;
};

Views views(py::array image, int width, int height, bool nearest) {
    if (width <= 0 || height <= 0) throw py::value_error("width and height must be positive");
    Views v;
    v.src_array = kiro::packed(image);
    v.out = kiro::new_array(height, width, image.ndim() == 3 ? image.shape(2) : 0, v.src_array.dtype());
    if (nearest && image.ndim() == 2) {
        const int type = CV_8UC(static_cast<int>(image.itemsize()));
        v.src = cv::Mat(static_cast<int>(image.shape(0)), static_cast<int>(image.shape(1)), type,
                        const_cast<void*>(v.src_array.data()), static_cast<size_t>(v.src_array.strides(0)));
        v.dst = cv::Mat(height, width, type, v.out.mutable_data());
    } else {
        v.src = kiro::mat_view(v.src_array, "image");
        v.dst = kiro::mat_view(v.out, "image");
    }
    if (!nearest && !kiro::cubic_supported(v.src)) throw py::type_error("image: 8-bit, 1 to 4 channels");
    return v;
}

template <class Fn>
py::array resize_with(py::array image, int width, int height, bool nearest, const std::string& isa, Fn pick) {
    Views v = views(image, width, height, nearest);
    const cv::Mat& src = v.src;
    cv::Mat& dst = v.dst;
    py::gil_scoped_release nogil;
    if (src.size() == dst.size()) {
        src.copyTo(dst);
    } else if (nearest) {
        kiro::NearestTables t;
        t.src_w = src.cols, t.src_h = src.rows, t.dst_w = width, t.dst_h = height;
        t.elem = static_cast<int>(src.elemSize());
        t.xofs.resize(width);
        t.yofs.resize(height);
        pick.nearest_tables(t);
        pick.resize_nearest(t, src.data, src.step, dst.data, dst.step, 0, height);
    } else {
        (void)isa;
        kiro::CubicTables t;
        t.src_w = src.cols, t.src_h = src.rows, t.dst_w = width, t.dst_h = height;
        t.cn = src.channels();
        t.plane = src.cols + 8;
        const size_t n = static_cast<size_t>(width) * t.cn;
        t.ofs.resize(n), t.even.resize(2 * n), t.odd.resize(2 * n);
        t.yofs.resize(height), t.beta.resize(4 * static_cast<size_t>(height));
        pick.cubic_tables(t);
        pick.resize_cubic_8u(t, src.data, src.step, dst.data, dst.step, 0, height);
    }
    return v.out;
}

#define KIRO_KERNEL_SET(ns)                                                                         \
    struct ns##_set {                                                                               \
        void cubic_tables(kiro::CubicTables& t) const { kiro::ns::cubic_tables(t); }                \
        void resize_cubic_8u(const kiro::CubicTables& t, const uint8_t* s, size_t ss, uint8_t* d,   \
                             size_t ds, int y0, int y1) const {                                     \
            kiro::ns::resize_cubic_8u(t, s, ss, d, ds, y0, y1);                                     \
        }                                                                                           \
        void nearest_tables(kiro::NearestTables& t) const { kiro::ns::nearest_tables(t); }          \
        void resize_nearest(const kiro::NearestTables& t, const uint8_t* s, size_t ss, uint8_t* d,  \
                            size_t ds, int y0, int y1) const {                                      \
            kiro::ns::resize_nearest(t, s, ss, d, ds, y0, y1);                                      \
        }                                                                                           \
    };
KIRO_KERNEL_SET(baseline)
#if defined(KIRO_HAVE_AVX2)
KIRO_KERNEL_SET(avx2)
#endif

// One resize on the build `isa` ("" = the one picked at run time; "wrapper"
// = the header's entry, with its row stripes on kiro's OpenCV threads).
py::array resize(py::array image, int width, int height, bool nearest, const std::string& isa) {
    if (isa == "wrapper") {
        Views v = views(image, width, height, nearest);
        py::gil_scoped_release nogil;
        if (nearest)
            kiro::resize_nearest(v.src, v.dst);
        else
            kiro::resize_cubic(v.src, v.dst);
        return v.out;
    }
    const std::string which = isa.empty() ? kiro::kernel_isa() : isa;
    if (which == "baseline") return resize_with(image, width, height, nearest, which, baseline_set{});
#if defined(KIRO_HAVE_AVX2)
    if (which == "avx2" && kiro::cpu_has_avx2()) return resize_with(image, width, height, nearest, which, avx2_set{});
#endif
    throw py::value_error("no kernel build " + which + " on this processor");
}

}  // namespace

PYBIND11_MODULE(_kernels, m) {
    m.def("builds", &builds, "Kernel builds usable here, the one picked at run time first.");
    m.def("simd_width", &simd_width, py::arg("isa"), "Bytes per SIMD register in that build.");
    m.def("resize", &resize, py::arg("image"), py::arg("width"), py::arg("height"), py::arg("nearest") = false,
          py::arg("isa") = "",
          "kiro's own resize (bicubic 8-bit, or nearest for any element type) on one kernel build.");
}
