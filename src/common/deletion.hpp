// Steps shared by the class-deletion operations: record reads, the gate,
// label checks, class values as mask elements, and the per-class mask passes
// (region build, in-place erase) that run without the GIL.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "common/arrays.hpp"
#include "common/draws.hpp"
#include "common/kinds.hpp"
#include "common/masks.hpp"

namespace kiro {
namespace deletion {
namespace py = pybind11;

inline std::string type_name(py::handle h) {
    return std::string(py::str(py::type::handle_of(h).attr("__name__")));
}

inline std::string repr_of(py::handle h) { return std::string(py::repr(h)); }

// record[key]; a missing key raises KeyError.
inline py::object item(py::handle data, const char* key) { return data[py::str(key)]; }

inline void store(py::handle data, const char* key, py::handle value) { data[py::str(key)] = value; }

// One random() draw; true when the operation acts (the draw is not above prob).
inline bool gate_passes(py::handle prob) { return !draw::gate_skips(prob); }

// `value in seq`, as Python's `in`.
inline bool contains(py::handle seq, py::handle value) {
    const int r = PySequence_Contains(seq.ptr(), value.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

inline bool is_numpy_bool(py::handle h) {
    static py::handle np_bool = numpy_type("bool_");
    return PyObject_IsInstance(h.ptr(), np_bool.ptr()) == 1;
}

struct Size2 {
    py::ssize_t rows, cols;
};

// Height and width of the record's image (2 or 3 axes).
inline Size2 image_size(py::handle image) {
    py::array a = as_ndarray(image, "image");
    if (a.ndim() != 2 && a.ndim() != 3)
        throw py::value_error("image must have 2 or 3 axes, got " + std::to_string(a.ndim()));
    return {a.shape(0), a.shape(1)};
}

// The record's mask: a 2-axis array of a supported element type, the image's size.
inline py::array mask_arg(py::handle mask, Size2 size) {
    py::array a = as_ndarray(mask, "mask");
    if (a.ndim() != 2)
        throw py::value_error("mask must have 2 axes (height x width), got " + std::to_string(a.ndim()));
    if (a.shape(0) != size.rows || a.shape(1) != size.cols)
        throw py::value_error("mask is " + std::to_string(a.shape(0)) + " x " + std::to_string(a.shape(1)) +
                              " but the image is " + std::to_string(size.rows) + " x " +
                              std::to_string(size.cols));
    dispatch_dtype(a.dtype(), "mask", [](auto) {});
    return a;
}

// The record's keypoints: a 2-axis numeric array of x, y pairs per row. An
// empty 1-axis array (np.array([])) holds no polygons.
inline py::array keypoints_arg(py::handle kp) {
    py::array a = as_ndarray(kp, "keypoints");
    const char kind = a.dtype().kind();
    if (kind != 'u' && kind != 'i' && kind != 'f')
        throw py::type_error("keypoints must hold numbers, got element type " + std::string(py::str(a.dtype())));
    if (a.ndim() == 1 && a.size() == 0) return a;
    if (a.ndim() != 2)
        throw py::value_error("keypoints must have 2 axes (polygons x coordinates), got " +
                              std::to_string(a.ndim()));
    if (a.shape(1) % 2 != 0)
        throw py::value_error("keypoints rows must hold x, y pairs, got " + std::to_string(a.shape(1)) +
                              " columns");
    return a;
}

// Distinct mask values in ascending order as Python scalars, bg_mask removed.
inline py::list candidates(const py::array& mask, py::handle bg_mask) {
    py::list values = distinct_values(mask).attr("tolist")();
    if (contains(values, bg_mask)) values.attr("remove")(bg_mask);
    return values;
}

// Integer value of an integer-like object, saturated far outside every
// element range when it does not fit 64 bits.
inline __int128 wide_int(py::handle h) {
    if (is_numpy_bool(h)) return truthy(h) ? 1 : 0;
    py::int_ v(py::reinterpret_borrow<py::object>(h));
    int overflow = 0;
    const long long s = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
    if (overflow == 0) {
        if (s == -1 && PyErr_Occurred()) throw py::error_already_set();
        return s;
    }
    constexpr __int128 huge = static_cast<__int128>(1) << 100;
    if (overflow < 0) return -huge;
    const unsigned long long u = PyLong_AsUnsignedLongLong(v.ptr());
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return huge;
    }
    return static_cast<__int128>(u);
}

// A keypoint row index; `ok` false when `h` is not an integer.
struct RowIndex {
    bool ok;
    long long value;  // saturated to the long long range
};

inline RowIndex row_index(py::handle h) {
    if (!is_integer(h)) return {false, 0};
    const __int128 v = wide_int(h);
    constexpr long long lo = std::numeric_limits<long long>::min(), hi = std::numeric_limits<long long>::max();
    return {true, static_cast<long long>(v < lo ? lo : v > hi ? hi : v)};
}

template <class T>
constexpr bool is_flag = std::is_same<T, bool>::value;

// Range of an integer element type T, as exact bounds for doubles: [lo, hi).
template <class T>
inline bool fits_double(double d) {
    const int digits = std::numeric_limits<T>::digits;
    const double lo = std::is_signed<T>::value ? -std::ldexp(1.0, digits) : 0.0;
    return d >= lo && d < std::ldexp(1.0, digits);
}

template <class T>
inline bool fits_int(__int128 v) {
    return v >= static_cast<__int128>(std::numeric_limits<T>::min()) &&
           v <= static_cast<__int128>(std::numeric_limits<T>::max());
}

// A class value as an element of a T mask. `found` is false when no element
// of T compares equal to it (2.5 or 300 in uint8, text, None, ...).
template <class T>
struct Element {
    bool found;
    T value;
};

template <class T>
inline Element<T> as_element(py::handle v) {
    const bool integral = is_integer(v) || is_numpy_bool(v);
    if (!integral && !is_real(v)) return {false, T{}};
    if constexpr (is_flag<T>) {
        const double d = integral ? static_cast<double>(wide_int(v)) : py::float_(py::reinterpret_borrow<py::object>(v)).cast<double>();
        if (d == 0.0) return {true, false};
        if (d == 1.0) return {true, true};
        return {false, false};
    } else if constexpr (std::is_floating_point<T>::value) {
        const double d = integral ? static_cast<double>(wide_int(v)) : py::float_(py::reinterpret_borrow<py::object>(v)).cast<double>();
        return {true, static_cast<T>(d)};
    } else {
        if (integral) {
            const __int128 w = wide_int(v);
            if (!fits_int<T>(w)) return {false, T{}};
            return {true, static_cast<T>(w)};
        }
        const double d = py::float_(py::reinterpret_borrow<py::object>(v)).cast<double>();
        if (!std::isfinite(d) || d != std::trunc(d) || !fits_double<T>(d)) return {false, T{}};
        return {true, static_cast<T>(d)};
    }
}

// bg_mask as the value written into a T mask: reals are truncated toward zero
// (as NumPy's assignment casts), values outside T are refused.
template <class T>
inline T background(py::handle bg) {
    const bool integral = is_integer(bg) || is_numpy_bool(bg);
    if (!integral && !is_real(bg))
        throw py::type_error("bg_mask must be a number, got " + type_name(bg));
    const auto refuse = [&]() -> T {
        throw py::value_error("bg_mask " + repr_of(bg) + " does not fit the mask's element type");
    };
    if constexpr (is_flag<T>) {
        return truthy(bg);
    } else if constexpr (std::is_floating_point<T>::value) {
        return static_cast<T>(integral ? static_cast<double>(wide_int(bg))
                                       : py::float_(py::reinterpret_borrow<py::object>(bg)).cast<double>());
    } else {
        if (integral) {
            const __int128 w = wide_int(bg);
            return fits_int<T>(w) ? static_cast<T>(w) : refuse();
        }
        const double d = std::trunc(py::float_(py::reinterpret_borrow<py::object>(bg)).cast<double>());
        return std::isfinite(d) && fits_double<T>(d) ? static_cast<T>(d) : refuse();
    }
}

// A 2-axis array seen as raw rows: any strides, any alignment.
struct Plane {
    char* data;
    py::ssize_t rows, cols, row_stride, col_stride;
};

inline Plane plane_of(const py::array& a) {
    return {static_cast<char*>(const_cast<void*>(a.data())), a.shape(0), a.shape(1), a.strides(0), a.strides(1)};
}

template <class T>
inline bool dense_rows(const Plane& p) {
    return p.col_stride == static_cast<py::ssize_t>(sizeof(T)) &&
           reinterpret_cast<std::uintptr_t>(p.data) % alignof(T) == 0 && p.row_stride % alignof(T) == 0;
}

#pragma GCC push_options
#pragma GCC optimize("tree-vectorize", "vect-cost-model=dynamic")

// One dense row: o = (p == c), returns the count of matches.
template <class T>
std::size_t region_row(const T* __restrict p, T* __restrict o, py::ssize_t n, T c) {
    uint32_t hits = 0;
    for (py::ssize_t j = 0; j < n; ++j) {
        const bool eq = p[j] == c;
        o[j] = static_cast<T>(eq);
        hits += eq;
    }
    return hits;
}

template <class T>
void erase_row(T* __restrict p, py::ssize_t n, T c, T bg) {
    for (py::ssize_t j = 0; j < n; ++j) p[j] = p[j] == c ? bg : p[j];
}

#pragma GCC pop_options

// Rows of any stride and alignment, one element at a time.
template <class T>
std::size_t region_row_strided(const char* row, py::ssize_t step, T* o, py::ssize_t n, T c) {
    std::size_t hits = 0;
    for (py::ssize_t j = 0; j < n; ++j) {
        T v;
        std::memcpy(&v, row + j * step, sizeof(T));
        const bool eq = v == c;
        o[j] = static_cast<T>(eq);
        hits += eq;
    }
    return hits;
}

template <class T>
void erase_row_strided(char* row, py::ssize_t step, py::ssize_t n, T c, T bg) {
    for (py::ssize_t j = 0; j < n; ++j) {
        T v;
        std::memcpy(&v, row + j * step, sizeof(T));
        if (v == c) std::memcpy(row + j * step, &bg, sizeof(T));
    }
}

// out (C-order rows x cols) = 1 where the mask equals c, else 0; returns the
// number of such pixels. No Python object is touched.
template <class T>
std::size_t build_region(const Plane& m, T c, T* out) {
    const py::ssize_t rows = m.rows, cols = m.cols, step = m.col_stride;
    const bool dense = dense_rows<T>(m);
    std::size_t hits = 0;
    for (py::ssize_t r = 0; r < rows; ++r) {
        const char* row = m.data + r * m.row_stride;
        T* o = out + r * cols;
        hits += dense ? region_row<T>(reinterpret_cast<const T*>(row), o, cols, c)
                      : region_row_strided<T>(row, step, o, cols, c);
    }
    return hits;
}

// Every mask pixel equal to c becomes bg, in place.
template <class T>
void erase_class(const Plane& m, T c, T bg) {
    const py::ssize_t rows = m.rows, cols = m.cols, step = m.col_stride;
    const bool dense = dense_rows<T>(m);
    for (py::ssize_t r = 0; r < rows; ++r) {
        char* row = m.data + r * m.row_stride;
        if (dense)
            erase_row<T>(reinterpret_cast<T*>(row), cols, c, bg);
        else
            erase_row_strided<T>(row, step, cols, c, bg);
    }
}


// Deletes classes of a mask one at a time: each call builds the class's
// region (mask's shape and element type), hands it to `paint` (which calls
// fill_in) and then turns the class into background in place. Absent
// classes are skipped without calling `paint`. T is the mask's element type.
// A mask in the other byte order is worked on in a native copy that is
// written back after each class.
template <class T>
class MaskEraser {
public:
    MaskEraser(py::array mask, py::handle bg)
        : mask_(std::move(mask)),
          work_(native_order(mask_) ? mask_ : native_copy(mask_)),
          plane_(plane_of(work_)),
          bg_(bg) {}

    // Returns true when the class occurred and was deleted.
    template <class Paint>
    bool erase(py::handle cls, Paint&& paint) {
        const Element<T> c = as_element<T>(cls);
        if (!c.found || plane_.rows == 0 || plane_.cols == 0) return false;
        py::array region = new_array(plane_.rows, plane_.cols, 0, work_.dtype());
        T* out = static_cast<T*>(region.mutable_data());
        std::size_t hits;
        {
            py::gil_scoped_release nogil;
            hits = build_region<T>(plane_, c.value, out);
        }
        if (hits == 0) return false;
        if (!ready_) {
            if (!mask_.writeable()) throw py::value_error("mask is read-only: classes are deleted in place");
            bg_value_ = background<T>(bg_);
            ready_ = true;
        }
        paint(region);
        {
            py::gil_scoped_release nogil;
            erase_class<T>(plane_, c.value, bg_value_);
        }
        if (!work_.is(mask_)) py::module_::import("numpy").attr("copyto")(mask_, work_);
        return true;
    }

private:
    py::array mask_;
    py::array work_;  // mask_ itself, or its native copy
    Plane plane_;
    py::handle bg_;
    bool ready_ = false;
    T bg_value_{};
};

// Calls f(MaskEraser<T>&) with T the mask's element type.
template <class F>
void with_eraser(const py::array& mask, py::handle bg, F&& f) {
    dispatch_dtype(mask.dtype(), "mask", [&](auto tag) {
        using T = decltype(tag);
        MaskEraser<T> eraser(mask, bg);
        f(eraser);
    });
}

// A new keypoint array without the given rows (indices into `kp`).
inline py::object without_rows(const py::array& kp, const std::vector<long long>& rows) {
    py::list index;
    for (long long r : rows) index.append(r);
    return py::module_::import("numpy").attr("delete")(kp, index, 0);
}

}  // namespace deletion
}  // namespace kiro
