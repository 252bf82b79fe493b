// Boxes of the connected pieces of every class of a mask.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>
#include <string>
#include <type_traits>
#include <vector>

#include "common/arrays.hpp"
#include "common/errors.hpp"
#include "common/kinds.hpp"

namespace py = pybind11;

namespace {

using Label = uint32_t;
constexpr Label kNone = std::numeric_limits<Label>::max();

struct Piece {
    int32_t x0, y0, x1, y1;
};

// Union-find over provisional labels; the smaller label becomes the root.
struct Forest {
    std::vector<Label> parent;
    Label make() {
        parent.push_back(static_cast<Label>(parent.size()));
        return parent.back();
    }
    Label find(Label a) {
        while (parent[a] != a) {
            parent[a] = parent[parent[a]];
            a = parent[a];
        }
        return a;
    }
    Label unite(Label a, Label b) {
        a = find(a);
        b = find(b);
        if (a == b) return a;
        if (a > b) std::swap(a, b);
        parent[b] = a;
        return a;
    }
};

// Background value; `any` false means no value of T equals bg_mask.
template <class T>
struct Background {
    bool any = false;
    T value{};
};

template <class T>
Background<T> background_of(py::handle bg) {
    Background<T> b;
    if (!kiro::is_number(bg) && !kiro::is_bool(bg))
        throw py::type_error("mask2bbox: bg_mask must be a number, got " +
                             std::string(py::str(py::type::handle_of(bg).attr("__name__"))));
    if constexpr (std::is_floating_point_v<T>) {
        b.any = true;
        b.value = static_cast<T>(py::float_(py::reinterpret_borrow<py::object>(bg)).cast<double>());
    } else {
        // Only a value that T holds exactly can match a pixel.
        py::object as_int;
        if (kiro::is_integer(bg)) {
            as_int = py::int_(py::reinterpret_borrow<py::object>(bg));
        } else {
            const double d = py::float_(py::reinterpret_borrow<py::object>(bg)).cast<double>();
            if (!std::isfinite(d) || d != std::floor(d)) return b;
            as_int = py::int_(py::float_(d));
        }
        const py::int_ lo(std::numeric_limits<T>::lowest()), hi(std::numeric_limits<T>::max());
        if (PyObject_RichCompareBool(as_int.ptr(), lo.ptr(), Py_LT) == 1 ||
            PyObject_RichCompareBool(as_int.ptr(), hi.ptr(), Py_GT) == 1)
            return b;
        b.any = true;
        b.value = as_int.cast<T>();
    }
    return b;
}

// Class values as stored (booleans as bytes of the same layout).
template <class T>
using Stored = std::conditional_t<std::is_same_v<T, bool>, uint8_t, T>;

template <class T>
struct Result {
    std::vector<Piece> boxes;
    std::vector<Stored<T>> classes;
    bool has_nan = false;
};

// A horizontal run of equal non-background values in one row.
template <class T>
struct Run {
    int row, c0, c1;  // columns c0..c1 inclusive
    T value;
    Label label;
};

// Runs of each row joined to the touching runs of the row above (8 neighbours:
// column ranges that overlap once widened by one) holding the same value;
// pieces are then numbered by their first run, which holds their first pixel.
template <class T>
Result<T> pieces(const char* base, py::ssize_t stride, int h, int w, Background<T> bg) {
    Result<T> res;
    std::vector<Run<T>> runs;
    Forest forest;
    size_t prev_begin = 0, prev_end = 0;
    for (int r = 0; r < h; ++r) {
        const T* row = reinterpret_cast<const T*>(base + r * stride);
        const size_t cur_begin = runs.size();
        size_t j = prev_begin;
        for (int c = 0; c < w;) {
            if (bg.any) {
                const T b = bg.value;
                while (c < w && row[c] == b) ++c;
                if (c == w) break;
            }
            const T v = row[c];
            if constexpr (std::is_floating_point_v<T>) {
                if (std::isnan(v)) {
                    res.has_nan = true;
                    return res;
                }
            }
            int e = c + 1;
            while (e < w && row[e] == v) ++e;
            Label l = kNone;
            // Runs above ending left of c - 1 touch neither this run nor later ones.
            while (j < prev_end && runs[j].c1 < c - 1) ++j;
            for (size_t k = j; k < prev_end && runs[k].c0 <= e; ++k) {
                if (!(runs[k].value == v)) continue;
                l = l == kNone ? forest.find(runs[k].label) : forest.unite(l, runs[k].label);
            }
            runs.push_back({r, c, e - 1, v, l == kNone ? forest.make() : l});
            c = e;
        }
        prev_begin = cur_begin;
        prev_end = runs.size();
    }
    std::vector<Label> final_id(forest.parent.size(), kNone);
    for (const Run<T>& run : runs) {
        Label& id = final_id[forest.find(run.label)];
        if (id == kNone) {
            id = static_cast<Label>(res.boxes.size());
            res.boxes.push_back({run.c0, run.row, run.c1, run.row});
            res.classes.push_back(static_cast<Stored<T>>(run.value));
        } else {
            Piece& p = res.boxes[id];
            p.x0 = std::min(p.x0, run.c0);
            p.x1 = std::max(p.x1, run.c1);
            p.y1 = run.row;
        }
    }
    // Classes ascending; pieces of one class by their first pixel.
    std::vector<size_t> order(res.boxes.size());
    std::iota(order.begin(), order.end(), size_t(0));
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return res.classes[a] < res.classes[b]; });
    Result<T> sorted;
    for (size_t i : order) {
        sorted.boxes.push_back(res.boxes[i]);
        sorted.classes.push_back(res.classes[i]);
    }
    return sorted;
}

py::array mask_arg(py::handle data) {
    py::object m = kiro::is_array(data) ? py::reinterpret_borrow<py::object>(data) : data[py::str("mask")];
    py::array mask = kiro::as_ndarray(m, "mask");
    if (mask.ndim() != 2)
        throw py::value_error("mask2bbox: mask must have 2 axes (height, width), got " +
                              std::to_string(mask.ndim()));
    const char kind = mask.dtype().kind();
    if (kind != 'b' && kind != 'u' && kind != 'i' && kind != 'f')
        throw py::type_error("mask2bbox: mask element type " + std::string(py::str(mask.dtype())) +
                             " is not supported");
    if (mask.shape(0) > INT32_MAX || mask.shape(1) > INT32_MAX ||
        static_cast<double>(mask.shape(0)) * static_cast<double>(mask.shape(1)) >= static_cast<double>(kNone))
        throw py::value_error("mask2bbox: mask is too large");
    return kiro::packed(mask);
}

}  // namespace

py::tuple mask2bbox(py::object data, py::object bg_mask) {
    const py::array mask = mask_arg(data);
    const int h = static_cast<int>(mask.shape(0)), w = static_cast<int>(mask.shape(1));
    const char* base = static_cast<const char*>(mask.data());
    const py::ssize_t stride = h > 0 ? mask.strides(0) : 0;
    return kiro::dispatch_dtype(mask.dtype(), "mask", [&](auto tag) {
        using T = decltype(tag);
        const Background<T> bg = background_of<T>(bg_mask);
        Result<T> res;
        {
            py::gil_scoped_release nogil;
            res = pieces<T>(base, stride, h, w, bg);
        }
        if (res.has_nan) throw py::value_error("mask2bbox: mask holds NaN");
        const auto n = static_cast<py::ssize_t>(res.boxes.size());
        py::array_t<int32_t> boxes({n, py::ssize_t(4)});
        if (n > 0) std::memcpy(boxes.mutable_data(), res.boxes.data(), sizeof(Piece) * res.boxes.size());
        py::array classes(mask.dtype(), std::vector<py::ssize_t>{n});
        if (n > 0) std::memcpy(classes.mutable_data(), res.classes.data(), sizeof(Stored<T>) * res.classes.size());
        return py::make_tuple(boxes, classes);
    });
}

PYBIND11_MODULE(mask2bbox, m) {
    kiro::register_errors();
    m.def("mask2bbox", &mask2bbox, py::arg("data"), py::arg("bg_mask") = 0,
          R"doc(Boxes of the connected pieces of every non-background class of a mask.

`data` is a record whose "mask" entry is used (a bare 2-axis array is taken as
the mask itself). Pixels equal to `bg_mask` are background; every other value
is a class. A piece is a set of pixels of one class joined through their 8
neighbours (edges and corners). Returns (boxes, classes): boxes an int32 N x 4
array of rows x_min, y_min, x_max, y_max (inclusive pixel indices), classes the
class value of each box as an array of the mask's element type. Classes come
in ascending order, the pieces of one class in the order of their first pixel
in row-major order. A mask holding NaN raises ValueError.)doc");
}
