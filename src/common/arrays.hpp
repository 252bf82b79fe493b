// NumPy arrays <-> cv::Mat without copies.
//
// A 2-axis array maps to a single-channel Mat, a 3-axis array (H x W x C) to a
// C-channel Mat. The Mat shares the array's memory whenever the array's layout
// allows it (packed pixels, any row stride); otherwise a packed copy is made
// first, so a strided or reversed view is never misread.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace kiro {
namespace py = pybind11;

// OpenCV depth of a NumPy dtype, or -1 when OpenCV has no such depth.
inline int cv_depth(const py::dtype& dt) {
    const char kind = dt.kind();
    const auto size = dt.itemsize();
    if (kind == 'b') return CV_8U;
    if (kind == 'u' && size == 1) return CV_8U;
    if (kind == 'i' && size == 1) return CV_8S;
    if (kind == 'u' && size == 2) return CV_16U;
    if (kind == 'i' && size == 2) return CV_16S;
    if (kind == 'i' && size == 4) return CV_32S;
    if (kind == 'f' && size == 4) return CV_32F;
    if (kind == 'f' && size == 8) return CV_64F;
    return -1;
}

inline py::dtype dtype_of_depth(int depth) {
    switch (depth) {
        case CV_8U: return py::dtype::of<uint8_t>();
        case CV_8S: return py::dtype::of<int8_t>();
        case CV_16U: return py::dtype::of<uint16_t>();
        case CV_16S: return py::dtype::of<int16_t>();
        case CV_32S: return py::dtype::of<int32_t>();
        case CV_32F: return py::dtype::of<float>();
        case CV_64F: return py::dtype::of<double>();
        default: throw py::type_error("unsupported OpenCV depth");
    }
}

inline bool is_array(py::handle h) { return py::isinstance<py::array>(h); }

// The object as an ndarray; `name` is used in the error for anything else.
inline py::array as_ndarray(py::handle h, const char* name) {
    if (!is_array(h))
        throw py::type_error(std::string(name) + " must be a numpy.ndarray, got " +
                             std::string(py::str(py::type::handle_of(h).attr("__name__"))));
    return py::reinterpret_borrow<py::array>(h);
}

// Element values readable as C++ values: the host's byte order.
inline bool native_order(const py::array& a) { return a.dtype().attr("isnative").cast<bool>(); }

// NumPy's alignment flag: the start and every stride suit typed access to the
// elements (views into packed records or byte buffers at an odd offset do not).
inline bool aligned(const py::array& a) { return (a.flags() & py::detail::npy_api::NPY_ARRAY_ALIGNED_) != 0; }

// A new C-order copy of `a` in native byte order (new arrays are aligned).
inline py::array native_copy(const py::array& a) {
    py::object dt = a.dtype().attr("newbyteorder")("=");
    return py::module_::import("numpy").attr("array")(a, dt, py::arg("order") = "C").cast<py::array>();
}

// `a` itself when it is C-contiguous, native and aligned, else native_copy(a):
// flat typed reads of the result are always sound.
inline py::array dense_native(const py::array& a) {
    if ((a.flags() & py::array::c_style) && aligned(a) && native_order(a)) return a;
    return native_copy(a);
}

// True when `a` can be viewed as a Mat as it is: native byte order, aligned,
// pixels packed (channel stride = item size, column stride = C * item size),
// rows at any non-negative stride.
inline bool mat_compatible(const py::array& a) {
    const auto nd = a.ndim();
    if (nd < 1 || nd > 3) return false;
    if (!aligned(a) || !native_order(a)) return false;
    const auto item = a.itemsize();
    py::ssize_t inner = item;
    if (nd == 3) {
        if (a.shape(2) > 1 && a.strides(2) != item) return false;
        inner = item * a.shape(2);
    }
    if (nd >= 2) {
        if (a.shape(1) > 1 && a.strides(1) != inner) return false;
        if (a.shape(0) > 1 && a.strides(0) < inner * a.shape(1)) return false;
    }
    if (nd == 1 && a.shape(0) > 1 && a.strides(0) != item) return false;
    return true;
}

// `a` itself when Mat-compatible, else a packed C-order copy in native byte
// order, aligned.
inline py::array packed(const py::array& a) {
    if (mat_compatible(a)) return a;
    py::object np = py::module_::import("numpy");
    py::object dt = a.dtype().attr("newbyteorder")("=");
    const py::array c = np.attr("ascontiguousarray")(a, dt).cast<py::array>();
    // ascontiguousarray hands back a contiguous but misaligned array unchanged.
    return aligned(c) ? c : native_copy(c);
}

// Mat view of a Mat-compatible array (see `packed`). 1-axis arrays become a
// single row. Writes through the Mat reach the array.
inline cv::Mat mat_view(const py::array& a, const char* name = "array") {
    const int depth = cv_depth(a.dtype());
    if (depth < 0)
        throw py::type_error(std::string(name) + ": element type " +
                             std::string(py::str(a.dtype())) + " is not supported");
    const auto nd = a.ndim();
    if (nd < 1 || nd > 3)
        throw py::value_error(std::string(name) + " must have 2 or 3 axes, got " + std::to_string(nd));
    const int rows = nd == 1 ? 1 : static_cast<int>(a.shape(0));
    const int cols = static_cast<int>(nd == 1 ? a.shape(0) : a.shape(1));
    const int cn = nd == 3 ? static_cast<int>(a.shape(2)) : 1;
    if (cn < 1 || cn > CV_CN_MAX)
        throw py::value_error(std::string(name) + " must have 1 to " + std::to_string(CV_CN_MAX) +
                              " channels, got " + std::to_string(cn));
    if (a.shape(0) > INT32_MAX || (nd >= 2 && a.shape(1) > INT32_MAX))
        throw py::value_error(std::string(name) + " is too large");
    void* data = const_cast<void*>(a.data());
    if (rows == 0 || cols == 0) return cv::Mat(rows, cols, CV_MAKETYPE(depth, cn));
    const size_t step = nd >= 2 ? static_cast<size_t>(a.strides(0)) : cv::Mat::AUTO_STEP;
    return cv::Mat(rows, cols, CV_MAKETYPE(depth, cn), data, rows > 1 ? step : cv::Mat::AUTO_STEP);
}

// An array with its Mat view; holds the array (and so its memory) alive.
struct Image {
    py::array array;
    cv::Mat mat;
    Image() = default;
    Image(py::array a, const char* name) : array(packed(a)), mat(mat_view(array, name)) {}
    int rows() const { return mat.rows; }
    int cols() const { return mat.cols; }
    int channels() const { return mat.channels(); }
    int ndim() const { return static_cast<int>(array.ndim()); }
    bool shares_with(const py::array& a) const { return array.ptr() == a.ptr(); }
};

// Input image view: `h` must be an ndarray of 2 or 3 axes.
inline Image image_arg(py::handle h, const char* name) { return Image(as_ndarray(h, name), name); }

// New uninitialised C-order array; channels == 0 means two axes.
inline py::array new_array(py::ssize_t rows, py::ssize_t cols, py::ssize_t channels, const py::dtype& dt) {
    std::vector<py::ssize_t> shape{rows, cols};
    if (channels > 0) shape.push_back(channels);
    return py::array(dt, shape);
}

inline py::array new_like(const py::array& a) {
    std::vector<py::ssize_t> shape(a.shape(), a.shape() + a.ndim());
    return py::array(a.dtype(), shape);
}

// Hand a Mat to NumPy without copying: the array keeps the Mat's buffer alive.
// `channel_axis` keeps a third axis even for one channel.
inline py::array to_array(cv::Mat m, bool channel_axis) {
    if (!m.isContinuous() && m.rows > 1) m = m.clone();
    const py::dtype dt = dtype_of_depth(m.depth());
    const auto item = static_cast<py::ssize_t>(m.elemSize1());
    std::vector<py::ssize_t> shape{m.rows, m.cols};
    std::vector<py::ssize_t> strides{static_cast<py::ssize_t>(m.step[0]), static_cast<py::ssize_t>(m.elemSize())};
    if (channel_axis || m.channels() > 1) {
        shape.push_back(m.channels());
        strides.push_back(item);
    }
    auto* keep = new cv::Mat(m);
    py::capsule owner(keep, [](void* p) { delete static_cast<cv::Mat*>(p); });
    return py::array(dt, shape, strides, m.data, owner);
}

// Element-type dispatch: calls f(T{}) with T the C++ type of the dtype.
template <class F>
decltype(auto) dispatch_dtype(const py::dtype& dt, const char* name, F&& f) {
    const char kind = dt.kind();
    const auto size = dt.itemsize();
    if (kind == 'b') return f(bool{});
    if (kind == 'u') {
        if (size == 1) return f(uint8_t{});
        if (size == 2) return f(uint16_t{});
        if (size == 4) return f(uint32_t{});
        if (size == 8) return f(uint64_t{});
    }
    if (kind == 'i') {
        if (size == 1) return f(int8_t{});
        if (size == 2) return f(int16_t{});
        if (size == 4) return f(int32_t{});
        if (size == 8) return f(int64_t{});
    }
    if (kind == 'f') {
        if (size == 4) return f(float{});
        if (size == 8) return f(double{});
    }
    throw py::type_error(std::string(name) + ": element type " + std::string(py::str(dt)) +
                         " is not supported");
}

}  // namespace kiro
