// Direct entry to kiro's own pixel kernels, for the tests: which build the
// processor gets, and the resizes, warps, shake and HSV jitter run on one
// chosen build.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>

#include "common/arrays.hpp"
#include "common/dispatch.hpp"
#include "common/hsv.hpp"
#include "common/resize.hpp"
#include "common/shake.hpp"
#include "common/warp.hpp"

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
py::array resize_with(py::array image, int width, int height, bool nearest, Fn pick) {
    Views v = views(image, width, height, nearest);
    const cv::Mat& src = v.src;
    cv::Mat& dst = v.dst;
    {
        py::gil_scoped_release nogil;
        if (src.size() == dst.size()) {
            src.copyTo(dst);
        } else if (nearest) {
            kiro::NearestTables t;
            kiro::size_tables(t, src.cols, src.rows, width, height, static_cast<int>(src.elemSize()));
            pick.nearest_tables(t);
            pick.resize_nearest(t, src.data, src.step, dst.data, dst.step, 0, height);
        } else {
            kiro::CubicTables t;
            kiro::size_tables(t, src.cols, src.rows, width, height, src.channels());
            pick.cubic_tables(t);
            pick.resize_cubic_8u(t, src.data, src.step, dst.data, dst.step, 0, height);
        }
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
        {
            py::gil_scoped_release nogil;
            if (nearest)
                kiro::resize_nearest(v.src, v.dst);
            else
                kiro::resize_cubic(v.src, v.dst);
        }
        return v.out;
    }
    const std::string which = isa.empty() ? kiro::kernel_isa() : isa;
    if (which == "baseline") return resize_with(image, width, height, nearest, baseline_set{});
#if defined(KIRO_HAVE_AVX2)
    if (which == "avx2" && kiro::cpu_has_avx2()) return resize_with(image, width, height, nearest, avx2_set{});
#endif
    throw py::value_error("no kernel build " + which + " on this processor");
}

// Which build `isa` names ("" = the one picked at run time); throws when the
// processor cannot run it.
std::string build_of(const std::string& isa) {
    const std::string which = isa.empty() ? kiro::kernel_isa() : isa;
    if (which == "baseline") return which;
#if defined(KIRO_HAVE_AVX2)
    if (which == "avx2" && kiro::cpu_has_avx2()) return which;
#endif
    throw py::value_error("no kernel build " + which + " on this processor");
}

#if defined(KIRO_HAVE_AVX2)
#define KIRO_ON_BUILD(which, fn, ...) \
    ((which) == "avx2" ? ::kiro::avx2::fn(__VA_ARGS__) : ::kiro::baseline::fn(__VA_ARGS__))
#else
#define KIRO_ON_BUILD(which, fn, ...) ::kiro::baseline::fn(__VA_ARGS__)
#endif

// cv::warpAffine(image, M, (width, height), INTER_LINEAR or INTER_NEAREST
// [| WARP_INVERSE_MAP], BORDER_CONSTANT, border) by kiro's kernels. Bilinear:
// 8-bit, 1, 3 or 4 channels; nearest: a 2-axis array of 1, 2, 4 or 8-byte
// elements, `border` its raw value as an element of the same dtype.
py::array warp_affine(py::array image, py::array_t<double, py::array::c_style | py::array::forcecast> M, int width,
                      int height, bool nearest, py::object border, bool inverse, const std::string& isa) {
    if (M.ndim() != 2 || M.shape(0) != 2 || M.shape(1) != 3) throw py::value_error("M must be 2 x 3");
    if (width <= 0 || height <= 0) throw py::value_error("width and height must be positive");
    cv::Matx23d matrix;
    std::copy(M.data(), M.data() + 6, matrix.val);
    py::array src_array = kiro::packed(image);
    py::array out = kiro::new_array(height, width, image.ndim() == 3 ? image.shape(2) : 0, src_array.dtype());
    cv::Mat src, dst;
    uint8_t value[8] = {};
    if (nearest) {
        if (image.ndim() != 2) throw py::value_error("nearest warps take 2-axis arrays");
        const int elem = static_cast<int>(image.itemsize());
        if (elem != 1 && elem != 2 && elem != 4 && elem != 8) throw py::type_error("elements of 1, 2, 4 or 8 bytes");
        const int type = elem == 8 ? CV_32SC2 : elem == 4 ? CV_32S : elem == 2 ? CV_16U : CV_8U;
        src = cv::Mat(static_cast<int>(image.shape(0)), static_cast<int>(image.shape(1)), type,
                      const_cast<void*>(src_array.data()), static_cast<size_t>(src_array.strides(0)));
        dst = cv::Mat(height, width, type, out.mutable_data());
        py::array b = py::module_::import("numpy").attr("array")(py::make_tuple(border), src_array.dtype());
        std::memcpy(value, b.data(), elem);
    } else {
        src = kiro::mat_view(src_array, "image");
        dst = kiro::mat_view(out, "image");
        const int cn = src.channels();
        if (src.depth() != CV_8U || (cn != 1 && cn != 3 && cn != 4))
            throw py::type_error("image: 8-bit, 1, 3 or 4 channels");
        auto values = border.cast<std::vector<int>>();
        for (size_t k = 0; k < values.size() && k < 4; ++k) value[k] = cv::saturate_cast<uint8_t>(values[k]);
    }
    py::gil_scoped_release nogil;
    if (isa == "wrapper") {
        if (nearest)
            kiro::warp_affine_nearest(src, dst, matrix, value, inverse);
        else
            kiro::warp_affine_linear(src, dst, matrix, cv::Scalar(value[0], value[1], value[2], value[3]), inverse);
        return out;
    }
    const std::string which = build_of(isa);
    double map[6];
    kiro::warp_detail::inverse_map(matrix, inverse, map);
    if (nearest)
        KIRO_ON_BUILD(which, warp_nearest, src.data, src.step, src.rows, src.cols, static_cast<int>(src.elemSize()),
                      dst.data, dst.step, dst.cols, map, value, 0, height);
    else
        KIRO_ON_BUILD(which, warp_linear_u8, src.data, src.step, src.rows, src.cols, src.channels(), dst.data,
                      dst.step, dst.cols, map, value, 0, height);
    return out;
}

// The shake of an 8-bit image (x, y as float32), on one build.
py::array shake(py::array image, float x, float y, const std::string& isa) {
    py::array src_array = kiro::packed(image);
    cv::Mat src = kiro::mat_view(src_array, "image");
    if (src.depth() != CV_8U || src.empty()) throw py::type_error("image: non-empty 8-bit");
    py::array out = kiro::new_like(src_array);
    cv::Mat dst = kiro::mat_view(out, "image");
    py::gil_scoped_release nogil;
    if (isa == "wrapper") {
        kiro::shake(src, dst, x, y);
        return out;
    }
    const std::string which = build_of(isa);
    double map[6];
    kiro::shake_detail::inverse_map(x, y, map);
    KIRO_ON_BUILD(which, shake_rows, src.data, src.step, dst.data, dst.step, src.rows, src.cols, src.channels(), map,
                  0, src.rows);
    return out;
}

// 0.7 a + 0.3 b as the shake blends, on one build.
py::array blend(py::array a, py::array b, const std::string& isa) {
    py::array_t<uint8_t, py::array::c_style | py::array::forcecast> x(a), y(b);
    if (x.size() != y.size()) throw py::value_error("a and b differ in size");
    py::array_t<uint8_t> out(x.size());
    const std::string which = build_of(isa);
    KIRO_ON_BUILD(which, blend_u8, x.data(), y.data(), out.mutable_data(), static_cast<int>(x.size()));
    return out;
}

// BGR -> HSV, S and V times a_s and a_v, HSV -> BGR, on one build.
py::array hsv_jitter(py::array image, float a_s, float a_v, const std::string& isa) {
    py::array src_array = kiro::packed(image);
    cv::Mat src = kiro::mat_view(src_array, "image");
    if (src.depth() != CV_8U || (src.channels() != 3 && src.channels() != 4) || src.empty())
        throw py::type_error("image: non-empty 8-bit, 3 or 4 channels");
    py::array out = kiro::new_array(src.rows, src.cols, 3, src_array.dtype());
    cv::Mat dst = kiro::mat_view(out, "image");
    py::gil_scoped_release nogil;
    if (isa == "wrapper") {
        kiro::hsv_jitter_u8(src, dst, a_s, a_v);
        return out;
    }
    const std::string which = build_of(isa);
    KIRO_ON_BUILD(which, hsv_jitter_rows, src.data, src.step, src.channels(), dst.data, dst.step, src.rows, src.cols,
                  a_s, a_v);
    return out;
}

// Whether each wrapper's first-call check found its kernels equal to the
// installed OpenCV (otherwise the wrapper calls OpenCV).
py::dict kernels_agree() {
    py::dict d;
    d["warp"] = kiro::warp_detail::exact();
    d["shake"] = kiro::shake_detail::kernel_agrees();
    d["hsv"] = kiro::hsv_detail::kernel_agrees();
    return d;
}

}  // namespace

PYBIND11_MODULE(_kernels, m) {
    m.def("builds", &builds, "Kernel builds usable here, the one picked at run time first.");
    m.def("simd_width", &simd_width, py::arg("isa"), "Bytes per SIMD register in that build.");
    m.def("resize", &resize, py::arg("image"), py::arg("width"), py::arg("height"), py::arg("nearest") = false,
          py::arg("isa") = "",
          "kiro's own resize (bicubic 8-bit, or nearest for any element type) on one kernel build.");
    m.def("warp_affine", &warp_affine, py::arg("image"), py::arg("M"), py::arg("width"), py::arg("height"),
          py::arg("nearest") = false, py::arg("border") = py::make_tuple(0, 0, 0, 0), py::arg("inverse") = false,
          py::arg("isa") = "", "kiro's own affine warp (bilinear 8-bit, or nearest of raw elements) on one build.");
    m.def("shake", &shake, py::arg("image"), py::arg("x"), py::arg("y"), py::arg("isa") = "",
          "kiro's shake kernel (translate, blend, blur) on one build.");
    m.def("blend", &blend, py::arg("a"), py::arg("b"), py::arg("isa") = "", "The shake's 0.7 / 0.3 blend on one build.");
    m.def("hsv_jitter", &hsv_jitter, py::arg("image"), py::arg("a_s"), py::arg("a_v"), py::arg("isa") = "",
          "kiro's HSV jitter kernel on one build.");
    m.def("kernels_agree", &kernels_agree, "The wrappers' first-call checks against the installed OpenCV.");
}
