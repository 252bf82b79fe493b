// Axis-aligned bounding boxes of polygons given as rows x0, y0, x1, y1, ...
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cmath>
#include <cstring>
#include <string>
#include <type_traits>

#include "common/arrays.hpp"
#include "common/errors.hpp"

namespace py = pybind11;

namespace {

// Min and max of one coordinate run; NaN wins, as in NumPy's reductions.
template <class T>
struct Range {
    T lo, hi;
    void add(T v) {
        if constexpr (std::is_floating_point_v<T>) {
            if (std::isnan(lo)) return;
            if (std::isnan(v)) {
                lo = hi = v;
                return;
            }
        }
        if (v < lo) lo = v;
        if (hi < v) hi = v;
    }
};

template <class T>
void boxes_of(const char* base, py::ssize_t s0, py::ssize_t s1, py::ssize_t n, py::ssize_t m, T* out) {
    for (py::ssize_t r = 0; r < n; ++r) {
        const char* row = base + r * s0;
        // Any stride and alignment: views into packed records are read as they are.
        auto at = [&](py::ssize_t c) {
            T v;
            std::memcpy(&v, row + c * s1, sizeof(T));
            return v;
        };
        Range<T> x{at(0), at(0)}, y{at(1), at(1)};
        for (py::ssize_t c = 2; c < m; c += 2) x.add(at(c));
        for (py::ssize_t c = 3; c < m; c += 2) y.add(at(c));
        T* o = out + 4 * r;
        o[0] = x.lo;
        o[1] = y.lo;
        o[2] = x.hi;
        o[3] = y.hi;
    }
}

// Element types without a C++ loop here (booleans, half and extended reals)
// go through NumPy's own reductions.
py::array numpy_boxes(const py::array& a) {
    py::object np = py::module_::import("numpy");
    py::object x = a[py::make_tuple(py::slice(py::none(), py::none(), py::none()),
                                    py::slice(py::none(), py::none(), py::int_(2)))];
    py::object y = a[py::make_tuple(py::slice(py::none(), py::none(), py::none()),
                                    py::slice(py::int_(1), py::none(), py::int_(2)))];
    py::list cols;
    cols.append(x.attr("min")(py::arg("axis") = 1));
    cols.append(y.attr("min")(py::arg("axis") = 1));
    cols.append(x.attr("max")(py::arg("axis") = 1));
    cols.append(y.attr("max")(py::arg("axis") = 1));
    return np.attr("stack")(cols, py::arg("axis") = 1).cast<py::array>();
}

}  // namespace

py::array quarnet(py::object polygon) {
    if (!kiro::is_array(polygon))
        throw py::attribute_error("quarnet: polygon must be a numpy.ndarray ('" +
                                  std::string(py::str(py::type::handle_of(polygon).attr("__name__"))) +
                                  "' object has no attribute 'shape')");
    py::array a = py::reinterpret_borrow<py::array>(polygon);
    const char kind = a.dtype().kind();
    if (kind != 'b' && kind != 'u' && kind != 'i' && kind != 'f')
        throw py::type_error("quarnet: polygon must hold integers or reals, got element type " +
                             std::string(py::str(a.dtype())));
    if (a.ndim() == 1) a = a.attr("reshape")(1, -1).cast<py::array>();
    if (a.ndim() != 2)
        throw py::value_error("quarnet: polygon must have 1 or 2 axes, got " + std::to_string(a.ndim()));
    const py::ssize_t n = a.shape(0), m = a.shape(1);
    if (m < 2) throw py::value_error("zero-size array to reduction operation minimum which has no identity");

    const bool native = a.dtype().attr("isnative").cast<bool>();
    const bool looped = kind != 'b' && (kind != 'f' || a.itemsize() == 4 || a.itemsize() == 8);
    if (!looped || !native) return numpy_boxes(a);

    py::array out(a.dtype(), std::vector<py::ssize_t>{n, 4});
    const char* base = static_cast<const char*>(a.data());
    const py::ssize_t s0 = a.strides(0), s1 = a.strides(1);
    kiro::dispatch_dtype(a.dtype(), "polygon", [&](auto tag) {
        using T = decltype(tag);
        if constexpr (!std::is_same_v<T, bool>) {
            T* o = static_cast<T*>(out.mutable_data());
            py::gil_scoped_release nogil;
            boxes_of<T>(base, s0, s1, n, m, o);
        }
    });
    return out;
}

PYBIND11_MODULE(quarnet, m) {
    kiro::register_errors();
    m.def("quarnet", &quarnet, py::arg("polygon"),
          R"doc(Bounding boxes of polygons.

`polygon` is an N x M array, one polygon per row with x in the even columns and
y in the odd ones (a 1-axis array is one polygon). Returns a new N x 4 array of
rows x_min, y_min, x_max, y_max in the element type of `polygon`; nothing is
rounded or clipped. Rows with fewer than two values raise ValueError.)doc");
}
