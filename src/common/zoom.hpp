// Steps shared by the class zooms (pandrik, ostrim): margin, class argument,
// selection masks on the unzoomed sample, one crop of image, mask and
// keypoints, and the optional scaling back to the input size.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "common/arrays.hpp"
#include "common/draws.hpp"
#include "common/errors.hpp"
#include "common/kinds.hpp"
#include "common/masks.hpp"
#include "common/resize.hpp"

namespace kiro {
namespace zoom {
namespace py = pybind11;

inline constexpr const char* kBadPadding =
    "Wrong padding length: it should be a number or a tuple/list that not contains bg_mask.";
inline constexpr const char* kBadClass =
    "Wrong class_num type: it should be a number or a tuple/list that not contains bg_mask.";

// Integers: Python int, bool, NumPy integer scalars. Reals: Python float
// (NumPy float64 derives from it). NumPy booleans and float32 are neither.
inline bool is_int_arg(py::handle h) { return is_integer(h); }
inline bool is_real_arg(py::handle h) { return PyFloat_Check(h.ptr()) != 0; }

// int(h), as a plain Python int.
inline py::int_ as_int(py::handle h) {
    PyObject* r = PyNumber_Long(h.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::int_>(r);
}

// Margin: a number truncated toward zero; a tuple/list draws from its first
// two entries; anything else is 0.
inline py::int_ margin(py::handle padding) {
    if (is_int_arg(padding) || is_real_arg(padding)) return as_int(padding);
    if (is_seq(padding)) {
        if (py::len(padding) < 2) raise_plain(kBadPadding);
        py::int_ lo = as_int(padding[py::int_(0)]), hi = as_int(padding[py::int_(1)]);
        return py::int_(draw::randint(lo, hi));
    }
    return py::int_(0);
}

// A tuple/list of classes must be non-empty and, on a sample with a mask,
// must not hold the background value.
inline void check_class_seq(py::handle class_num, py::handle bg_mask, bool has_mask) {
    if (py::len(class_num) == 0) raise_plain(kBadClass);
    if (has_mask) {
        const int r = PySequence_Contains(class_num.ptr(), bg_mask.ptr());
        if (r < 0) throw py::error_already_set();
        if (r == 1) raise_plain(kBadClass);
    }
}

// ---- sample entries -------------------------------------------------------

struct Size2 {
    long long h = 0, w = 0;
};

inline py::array image_arg(py::handle value) {
    py::array img = as_ndarray(value, "image");
    if (img.ndim() != 2 && img.ndim() != 3)
        throw py::value_error("image must have 2 or 3 axes, got " + std::to_string(img.ndim()));
    return img;
}

inline py::array image_entry(py::handle data) { return image_arg(data[py::str("image")]); }

inline Size2 size_of(const py::array& a) { return {a.shape(0), a.shape(1)}; }

inline std::string size_text(Size2 s) { return std::to_string(s.h) + " x " + std::to_string(s.w); }

// The "mask" entry: a 2-axis array of the image's height and width.
inline py::array mask_entry(py::handle data, Size2 image_size) {
    py::array m = as_ndarray(data[py::str("mask")], "mask");
    if (m.ndim() != 2)
        throw py::value_error("mask must have 2 axes (height, width), got " + std::to_string(m.ndim()));
    dispatch_dtype(m.dtype(), "mask", [](auto) {});
    if (m.shape(0) != image_size.h || m.shape(1) != image_size.w)
        throw py::value_error("mask size " + size_text(size_of(m)) + " differs from the image size " +
                              size_text(image_size));
    return m;
}

// The "keypoints" entry: a 2-axis numeric array with x, y pairs per row, in
// either byte order. An empty 1-axis array (np.array([])) holds no polygons.
inline py::array keypoints_entry(py::handle data) {
    py::array kp = as_ndarray(data[py::str("keypoints")], "keypoints");
    const bool none = kp.ndim() == 1 && kp.size() == 0;
    if (kp.ndim() != 2 && !none)
        throw py::value_error("keypoints must have 2 axes (polygons, coordinates), got " +
                              std::to_string(kp.ndim()));
    if (!none && kp.shape(1) % 2 != 0)
        throw py::value_error("keypoints rows must hold x, y pairs, got " + std::to_string(kp.shape(1)) +
                              " columns");
    const char kind = kp.dtype().kind();
    if (kind != 'u' && kind != 'i' && kind != 'f')
        throw py::type_error("keypoints: element type " + std::string(py::str(kp.dtype())) +
                             " is not supported");
    dispatch_dtype(kp.dtype(), "keypoints", [](auto) {});
    return kp;
}

// ---- class choice ---------------------------------------------------------

// Distinct mask values, ascending, as a Python list and as the array, with
// the packed (native byte order) mask they were read from.
struct MaskValues {
    py::array mask;
    py::array values;
    py::list list;
};

inline MaskValues mask_values(const py::array& mask) {
    MaskValues v;
    v.mask = packed(mask);
    v.values = distinct_values(v.mask);
    v.list = v.values.attr("tolist")().cast<py::list>();
    return v;
}

// The values without the background, in order.
inline py::list candidates(const py::list& values, py::handle bg_mask) {
    py::list out;
    for (py::handle v : values)
        if (!equals(v, bg_mask)) out.append(v);
    return out;
}

inline py::list as_list(py::handle seq) {
    PyObject* r = PySequence_List(seq.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::list>(r);
}

// Several classes out of `cands` for a normalised class argument (None, an
// integer, or a tuple/list): draws a count for None, then a sample.
inline py::list choose_classes(const py::list& cands, py::handle class_num) {
    const auto n = static_cast<long long>(py::len(cands));
    if (class_num.is_none()) {
        if (n == 0) return py::list();
        return draw::sample(cands, py::int_(draw::randint(1, n)));
    }
    if (is_int_arg(class_num)) {
        py::int_ k = as_int(class_num);
        const int le = PyObject_RichCompareBool(k.ptr(), py::int_(n).ptr(), Py_LE);
        if (le < 0) throw py::error_already_set();
        if (le == 1) return draw::sample(cands, k);
        return as_list(cands);
    }
    return as_list(class_num);
}

// Row indices as plain ints where they are integers (others are left for the
// callee to refuse).
inline py::object as_index(py::handle h) {
    if (is_int_arg(h)) return as_int(h);
    return py::reinterpret_borrow<py::object>(h);
}

// ---- selection masks ------------------------------------------------------

// 0/1 uint8 mask of the pixels whose value is one of the chosen classes;
// `any` tells whether it holds a pixel. Classes absent from the mask are
// skipped; `present` are the mask's distinct values.
struct Selection {
    py::object mask = py::none();  // uint8 array, or None when no chosen class occurs
    bool any = false;
};

template <class T>
void select_pixels(const py::array& m, const std::vector<T>& wanted, uint8_t* out, bool& any) {
    const long long h = m.shape(0), w = m.shape(1);
    const char* base = static_cast<const char*>(m.data());
    const py::ssize_t rs = m.strides(0), cs = m.strides(1);
    py::gil_scoped_release nogil;
    uint8_t hit = 0;
    if constexpr (sizeof(T) == 1) {
        std::array<uint8_t, 256> lut{};
        for (T v : wanted) {
            uint8_t b;
            std::memcpy(&b, &v, 1);
            lut[b] = 1;
        }
        for (long long r = 0; r < h; ++r) {
            const auto* p = reinterpret_cast<const uint8_t*>(base + r * rs);
            uint8_t* o = out + r * w;
            if (cs == 1) {
                // Runs of one class: a block of 8 pixels equal to the
                // previous block gets the previous block's selection.
                uint64_t in_prev = 0, out_prev = 0;
                bool have = false;
                long long c = 0;
                for (; c + 32 <= w; c += 32) {
                    uint64_t in[4];
                    std::memcpy(in, p + c, 32);
                    if (have && ((in[0] ^ in_prev) | (in[1] ^ in_prev) | (in[2] ^ in_prev) | (in[3] ^ in_prev)) == 0) {
                        const uint64_t out4[4] = {out_prev, out_prev, out_prev, out_prev};
                        std::memcpy(o + c, out4, 32);
                        continue;
                    }
                    for (int j = 0; j < 4; ++j) {
                        const long long b = c + 8 * j;
                        if (!have || in[j] != in_prev) {
                            for (int k = 0; k < 8; ++k) hit |= (o[b + k] = lut[p[b + k]]);
                            std::memcpy(&out_prev, o + b, 8);
                            in_prev = in[j], have = true;
                        } else {
                            std::memcpy(o + b, &out_prev, 8);
                        }
                    }
                }
                for (; c + 8 <= w; c += 8) {
                    uint64_t in;
                    std::memcpy(&in, p + c, 8);
                    if (!have || in != in_prev) {
                        for (int k = 0; k < 8; ++k) hit |= (o[c + k] = lut[p[c + k]]);
                        std::memcpy(&out_prev, o + c, 8);
                        in_prev = in, have = true;
                    } else {
                        std::memcpy(o + c, &out_prev, 8);
                    }
                }
                for (; c < w; ++c) hit |= (o[c] = lut[p[c]]);
            } else {
                for (long long c = 0; c < w; ++c) hit |= (o[c] = lut[p[c * cs]]);
            }
        }
    } else {
        for (long long r = 0; r < h; ++r) {
            const char* p = base + r * rs;
            uint8_t* o = out + r * w;
            for (long long c = 0; c < w; ++c) {
                T v;
                std::memcpy(&v, p + c * cs, sizeof(T));
                uint8_t s = 0;
                for (T x : wanted) s |= static_cast<uint8_t>(v == x);
                hit |= (o[c] = s);
            }
        }
    }
    any = hit != 0;
}

inline Selection select_classes(const MaskValues& present, const py::list& chosen) {
    const py::array& mask = present.mask;
    // Which present values are chosen (Python equality, as mask == value).
    std::vector<size_t> marked;
    const size_t n = py::len(present.list);
    for (size_t i = 0; i < n; ++i) {
        py::object v = present.list[i];
        for (py::handle c : chosen)
            if (equals(v, c)) {
                marked.push_back(i);
                break;
            }
    }
    Selection s;
    if (marked.empty()) return s;
    py::array sel = new_array(mask.shape(0), mask.shape(1), 0, py::dtype::of<uint8_t>());
    s.mask = sel;
    auto* out = static_cast<uint8_t*>(sel.mutable_data());
    dispatch_dtype(mask.dtype(), "mask", [&](auto tag) {
        using T = decltype(tag);
        const auto* vals = static_cast<const char*>(present.values.data());
        std::vector<T> wanted;
        for (size_t i : marked) {
            T v;
            std::memcpy(&v, vals + i * present.values.strides(0), sizeof(T));
            wanted.push_back(v);
        }
        select_pixels<T>(mask, wanted, out, s.any);
    });
    return s;
}

// The mask of one helper result (kp2mask): 2-axis, the image's size.
inline py::array helper_mask(py::handle result, Size2 image_size) {
    py::array m = as_ndarray(result, "kp2mask result");
    if (m.ndim() != 2 || m.shape(0) != image_size.h || m.shape(1) != image_size.w)
        throw py::value_error("kp2mask returned an array that is not a " + size_text(image_size) + " mask");
    const char kind = m.dtype().kind();
    if (kind != 'b' && kind != 'u' && kind != 'i' && kind != 'f')
        throw py::type_error("kp2mask result: element type " + std::string(py::str(m.dtype())) +
                             " is not supported");
    return m;
}

template <class T>
bool merge_rows(const char* base, py::ssize_t rs, py::ssize_t cs, long long h, long long w, bool typed,
                uint8_t* into) {
    uint8_t hit = 0;
    for (long long r = 0; r < h; ++r) {
        const char* p = base + r * rs;
        if (typed) {
            const T* q = reinterpret_cast<const T*>(p);
            if (into) {
                uint8_t* o = into + r * w;
                for (long long c = 0; c < w; ++c) {
                    const uint8_t nz = static_cast<uint8_t>(q[c] != T(0));
                    o[c] |= nz;
                    hit |= nz;
                }
            } else {
                for (long long c = 0; c < w; ++c) hit |= static_cast<uint8_t>(q[c] != T(0));
                if (hit) return true;
            }
        } else {
            for (long long c = 0; c < w; ++c) {
                T v;
                std::memcpy(&v, p + c * cs, sizeof(T));
                const uint8_t nz = static_cast<uint8_t>(v != T(0));
                if (into) into[r * w + c] |= nz;
                hit |= nz;
            }
        }
    }
    return hit != 0;
}

// Any non-zero pixel in `m`; with `into`, also ORs (m != 0) into that 0/1 mask.
inline bool merge_nonzero(const py::array& m, uint8_t* into) {
    const long long h = m.shape(0), w = m.shape(1);
    const char* base = static_cast<const char*>(m.data());
    const py::ssize_t rs = m.strides(0), cs = m.strides(1);
    return dispatch_dtype(m.dtype(), "mask", [&](auto tag) {
        using T = decltype(tag);
        // Packed, aligned rows are read through a typed pointer.
        const bool typed = cs == static_cast<py::ssize_t>(sizeof(T)) &&
                           reinterpret_cast<uintptr_t>(base) % alignof(T) == 0 && rs % alignof(T) == 0;
        py::gil_scoped_release nogil;
        return merge_rows<T>(base, rs, cs, h, w, typed, into);
    });
}

// The union of the two selections (either may be None); None when both are
// empty. A mask of our own is merged into; a helper's result is not written.
inline py::object union_of(Selection& own, const py::object& other) {
    if (other.is_none()) return own.any ? own.mask : py::none();
    py::array o = py::reinterpret_borrow<py::array>(other);
    if (own.mask.is_none()) return merge_nonzero(o, nullptr) ? other : py::none();
    py::array mine = py::reinterpret_borrow<py::array>(own.mask);
    const bool any = merge_nonzero(o, static_cast<uint8_t*>(mine.mutable_data()));
    return (own.any || any) ? own.mask : py::none();
}

// ---- crop -------------------------------------------------------------------

struct Rect {
    long long top = 0, left = 0, h = 0, w = 0;
};

// faltor(image, selection, margin) -> (image crop, rectangle).
inline std::pair<py::array, Rect> crop(py::handle faltor, const py::array& image, py::handle selection,
                                       const py::int_& margin, Size2 size) {
    py::object res = faltor(image, selection, margin);
    if (!is_seq(res) || py::len(res) != 2) throw py::value_error("faltor must return (image crop, rectangle)");
    py::object box = res[py::int_(1)];
    if (!is_seq(box) || py::len(box) != 4) throw py::value_error("faltor must return a rectangle of four values");
    Rect r{to_int(box[py::int_(0)]), to_int(box[py::int_(1)]), to_int(box[py::int_(2)]), to_int(box[py::int_(3)])};
    if (r.top < 0 || r.left < 0 || r.h < 0 || r.w < 0 || r.top + r.h > size.h || r.left + r.w > size.w)
        throw py::value_error("faltor returned a rectangle outside the image");
    py::array img = as_ndarray(res[py::int_(0)], "faltor crop");
    if (img.ndim() < 2 || img.shape(0) != r.h || img.shape(1) != r.w)
        throw py::value_error("faltor returned a crop that does not match its rectangle");
    return {img, r};
}

// a[top:top+h, left:left+w] as a view.
inline py::object crop_view(const py::array& a, const Rect& r) {
    return a[py::make_tuple(py::slice(r.top, r.top + r.h, 1), py::slice(r.left, r.left + r.w, 1))];
}

inline void check_scalable(const Rect& r) {
    if (r.h <= 0 || r.w <= 0) throw py::value_error("the crop is empty and cannot be scaled back");
}

// Image crop resized to w x h, bicubic, in the input image's layout.
inline py::array resize_image(const py::array& crop_arr, Size2 size) {
    check_scalable(Rect{0, 0, crop_arr.shape(0), crop_arr.shape(1)});
    if (crop_arr.dtype().kind() == 'b') throw py::type_error("image: a boolean image cannot be scaled back");
    Image src(crop_arr, "image");
    const py::ssize_t ch = crop_arr.ndim() == 3 ? crop_arr.shape(2) : 0;
    py::array out = new_array(size.h, size.w, ch, src.array.dtype());
    cv::Mat dst = mat_view(out, "image");
    {
        py::gil_scoped_release nogil;
        // 8-bit images of 1 to 4 channels take kiro's own bicubic resize
        // (the same bytes as cv::resize); other types keep OpenCV's.
        if (cubic_supported(src.mat))
            kiro::resize_cubic(src.mat, dst);
        else
            cv::resize(src.mat, dst, dst.size(), 0, 0, cv::INTER_CUBIC);
    }
    return out;
}

// Mask crop resized to w x h, nearest neighbour. Elements are moved whole, so
// the mask is viewed as raw bytes: every element type keeps its values.
inline py::array resize_mask(const py::array& crop_arr, Size2 size) {
    check_scalable(Rect{0, 0, crop_arr.shape(0), crop_arr.shape(1)});
    // Rows of whole elements at any stride; byte order does not matter here.
    const bool rows_ok = crop_arr.strides(1) == crop_arr.itemsize() && crop_arr.strides(0) >= 0;
    const py::array src = rows_ok ? crop_arr
                                  : py::module_::import("numpy").attr("ascontiguousarray")(crop_arr).cast<py::array>();
    const int item = static_cast<int>(src.itemsize());
    const int type = CV_MAKETYPE(CV_8U, item);
    const int rows = static_cast<int>(src.shape(0)), cols = static_cast<int>(src.shape(1));
    cv::Mat s(rows, cols, type, const_cast<void*>(src.data()),
              rows > 1 ? static_cast<size_t>(src.strides(0)) : cv::Mat::AUTO_STEP);
    py::array out = new_array(size.h, size.w, 0, src.dtype());
    cv::Mat d(static_cast<int>(size.h), static_cast<int>(size.w), type, out.mutable_data());
    {
        py::gil_scoped_release nogil;
        kiro::resize_nearest(s, d);
    }
    return out;
}

// ---- keypoints ----------------------------------------------------------------

template <class T>
T saturate_trunc(double v) {
    if constexpr (std::is_floating_point_v<T>) {
        return static_cast<T>(v);
    } else {
        // Truncation toward zero, clamped so out-of-range values stay defined.
        const double lo = static_cast<double>(std::numeric_limits<T>::min());
        const double hi = static_cast<double>(std::numeric_limits<T>::max());
        if (!(v > lo)) return std::numeric_limits<T>::min();
        if (!(v < hi)) return std::numeric_limits<T>::max();
        return static_cast<T>(v);
    }
}

template <class T>
T shifted(T v, long long by) {
    if constexpr (std::is_floating_point_v<T>) {
        return static_cast<T>(v - static_cast<T>(by));
    } else {
        // Array arithmetic of the element type: wraps like NumPy's.
        return static_cast<T>(static_cast<uint64_t>(v) - static_cast<uint64_t>(by));
    }
}

// Coordinates moved into the crop (and scaled to `size` when `scale`),
// written into the keypoint array in place, all rows, keeping its type.
inline void move_keypoints(const py::array& kp, const Rect& r, bool scale, Size2 size) {
    if (!kp.writeable()) throw py::value_error("keypoints: assignment destination is read-only");
    if (scale) check_scalable(r);
    if (kp.ndim() != 2) return;  // no polygons
    if (!native_order(kp)) {
        // Moved in a native copy, then written back in the array's own byte order.
        const py::array work = native_copy(kp);
        move_keypoints(work, r, scale, size);
        py::module_::import("numpy").attr("copyto")(kp, work);
        return;
    }
    const long long n = kp.shape(0), cols = kp.shape(1);
    char* base = static_cast<char*>(const_cast<void*>(kp.data()));
    const py::ssize_t rs = kp.strides(0), cs = kp.strides(1);
    dispatch_dtype(kp.dtype(), "keypoints", [&](auto tag) {
        using T = decltype(tag);
        // float32 arrays compute in float32, the others in float64 (as array arithmetic would).
        using F = std::conditional_t<std::is_same_v<T, float>, float, double>;
        for (long long i = 0; i < n; ++i)
            for (long long c = 0; c < cols; ++c) {
                char* p = base + i * rs + c * cs;
                T v;
                std::memcpy(&v, p, sizeof(T));
                const bool is_x = c % 2 == 0;
                const T d = shifted<T>(v, is_x ? r.left : r.top);
                T out = d;
                if (scale) {
                    const F span = static_cast<F>(is_x ? r.w : r.h), full = static_cast<F>(is_x ? size.w : size.h);
                    out = saturate_trunc<T>(static_cast<double>(static_cast<F>(d) / span * full));
                }
                std::memcpy(p, &out, sizeof(T));
            }
    });
}

// New array of the given rows (array indexing: negative indices count from the end).
inline py::object take_rows(const py::array& kp, const py::list& rows) { return kp[rows]; }

}  // namespace zoom
}  // namespace kiro
