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

template <class Fn>
py::array resize_with(py::array image, int width, int height, bool nearest, const std::string& isa, Fn pick) {
    kiro::Image src(image, "image");
    if (width <= 0 || height <= 0) throw py::value_error("width and height must be positive");
    if (!nearest && !kiro::cubic_supported(src.mat)) throw py::type_error("image: 8-bit, 1 to 4 channels");
    py::array out = kiro::new_array(height, width, image.ndim() == 3 ? image.shape(2) : 0, src.array.dtype());
    cv::Mat dst = kiro::mat_view(out, "image");
    py::gil_scoped_release nogil;
    if (src.mat.size() == dst.size()) {
        src.mat.copyTo(dst);
    } else if (nearest) {
        kiro::NearestTables t;
        t.src_w = src.mat.cols, t.src_h = src.mat.rows, t.dst_w = width, t.dst_h = height;
        t.elem = static_cast<int>(src.mat.elemSize());
        t.xofs.resize(width);
        t.yofs.resize(height);
        pick.nearest_tables(t);
        pick.resize_nearest(t, src.mat.data, src.mat.step, dst.data, dst.step, 0, height);
    } else {
        (void)isa;
        kiro::CubicTables t;
        t.src_w = src.mat.cols, t.src_h = src.mat.rows, t.dst_w = width, t.dst_h = height;
        t.cn = src.mat.channels();
        t.plane = src.mat.cols + 8;
        const size_t n = static_cast<size_t>(width) * t.cn;
        t.ofs.resize(n), t.even.resize(2 * n), t.odd.resize(2 * n);
        t.yofs.resize(height), t.beta.resize(4 * static_cast<size_t>(height));
        pick.cubic_tables(t);
        pick.resize_cubic_8u(t, src.mat.data, src.mat.step, dst.data, dst.step, 0, height);
    }
    return out;
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
        kiro::Image src(image, "image");
        if (width <= 0 || height <= 0) throw py::value_error("width and height must be positive");
        if (!nearest && !kiro::cubic_supported(src.mat)) throw py::type_error("image: 8-bit, 1 to 4 channels");
        py::array out = kiro::new_array(height, width, image.ndim() == 3 ? image.shape(2) : 0, src.array.dtype());
        cv::Mat dst = kiro::mat_view(out, "image");
        py::gil_scoped_release nogil;
        if (nearest)
            kiro::resize_nearest(src.mat, dst);
        else
            kiro::resize_cubic(src.mat, dst);
        return out;
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
