// Lossy-mask repair: for every class keep its largest connected piece, close
// it with a kernel of 1/80 of the mask's sides and paint it over a background
// fill. Only the neighbourhood of each kept piece is labelled and closed; the
// pixels further away cannot change, so the result is that of full-size work.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/arrays.hpp"
#include "common/element_values.hpp"
#include "common/errors.hpp"
#include "common/kinds.hpp"
#include "common/masks.hpp"

namespace py = pybind11;

namespace {

// Inclusive pixel rectangle; empty while x1 < x0.
struct Box {
    int x0 = INT_MAX, y0 = INT_MAX, x1 = -1, y1 = -1;
    bool empty() const { return x1 < x0; }
    void add_run(int y, int a, int b) {
        if (a < x0) x0 = a;
        if (b > x1) x1 = b;
        if (y < y0) y0 = y;
        y1 = y;
    }
};

// Rows of a mask of element type T.
template <class T>
struct Plane {
    const char* base;
    py::ssize_t stride;
    int rows, cols;
    const T* row(int y) const { return reinterpret_cast<const T*>(base + y * stride); }
};

// 1. Where each class lies. Byte masks: one pass over runs of equal values
// gives the box of every value.
template <class T>
std::array<Box, 256> byte_boxes(const Plane<T>& m) {
    std::array<Box, 256> boxes{};
    for (int y = 0; y < m.rows; ++y) {
        const auto* p = reinterpret_cast<const uint8_t*>(m.row(y));
        int x = 0;
        while (x < m.cols) {
            const uint8_t v = p[x];
            const int start = x;
            while (++x < m.cols && p[x] == v) {
            }
            boxes[v].add_run(y, start, x - 1);
        }
    }
    return boxes;
}

// Wider masks: the box of one value.
template <class T>
Box value_box(const Plane<T>& m, T v) {
    Box box;
    for (int y = 0; y < m.rows; ++y) {
        const T* p = m.row(y);
        int a = 0;
        while (a < m.cols && !(p[a] == v)) ++a;
        if (a == m.cols) continue;
        int b = m.cols - 1;
        while (!(p[b] == v)) --b;
        box.add_run(y, a, b);
    }
    return box;
}

// Settings shared by every class.
struct Repair {
    int rows = 0, cols = 0;
    int pad_h = 0, pad_w = 0;
    cv::Mat kernel;          // pad_h x pad_w ones; empty when either is 0
    int reach_y = 0, reach_x = 0;  // how far one closing step can spread
    double threshold = 0.0;
};

Repair settings(int rows, int cols, double delete_thresh) {
    Repair r;
    r.rows = rows;
    r.cols = cols;
    r.pad_h = rows / 80;
    r.pad_w = cols / 80;
    if (r.pad_h > 0 && r.pad_w > 0) r.kernel = cv::Mat::ones(r.pad_h, r.pad_w, CV_8U);
    // OpenCV's default element for an empty kernel is 3 x 3.
    r.reach_y = r.kernel.empty() ? 3 : r.pad_h;
    r.reach_x = r.kernel.empty() ? 3 : r.pad_w;
    r.threshold = (cols * delete_thresh) * (rows * delete_thresh);
    return r;
}

// Closing whose erosion uses the reflected element, so the result contains
// its input and a rectangle stays in place. (One anchor for both steps would
// move every region by a pixel along each even kernel side.)
void close(const cv::Mat& src, cv::Mat& dst, const cv::Mat& kernel, cv::Mat& tmp) {
    if (kernel.empty()) {
        cv::morphologyEx(src, dst, cv::MORPH_CLOSE, kernel);
        return;
    }
    const cv::Point anchor(kernel.cols / 2, kernel.rows / 2);
    const cv::Point reflected(kernel.cols - 1 - anchor.x, kernel.rows - 1 - anchor.y);
    cv::dilate(src, tmp, kernel, anchor);
    cv::erode(tmp, dst, kernel, reflected);
}

struct Buffers {
    cv::Mat bin, labels, stats, centroids, work, tmp, closed;
};

template <class T>
struct Output {
    char* base;
    py::ssize_t stride;
    T* row(int y) const { return reinterpret_cast<T*>(base + y * stride); }
    void fill(const Repair& r, T v) const {
        for (int y = 0; y < r.rows; ++y) std::fill_n(row(y), r.cols, v);
    }
};

// 2. One class c found inside `box`: label its pieces, keep the largest
// (ties: lowest label) unless it is below the threshold, close it in the
// padded frame and paint it.
template <class T>
void repair_class(const Plane<T>& m, T c, const Box& box, const Repair& r, const Output<T>& out, Buffers& b) {
    const int bw = box.x1 - box.x0 + 1, bh = box.y1 - box.y0 + 1;
    b.bin.create(bh, bw, CV_8U);
    for (int y = 0; y < bh; ++y) {
        const T* p = m.row(box.y0 + y) + box.x0;
        uint8_t* q = b.bin.ptr<uint8_t>(y);
        for (int x = 0; x < bw; ++x) q[x] = p[x] == c ? 255 : 0;
    }
    const int n = cv::connectedComponentsWithStats(b.bin, b.labels, b.stats, b.centroids, 4, CV_32S);
    if (n < 2) return;
    int best = 1;
    for (int i = 2; i < n; ++i)
        if (b.stats.at<int>(i, cv::CC_STAT_AREA) > b.stats.at<int>(best, cv::CC_STAT_AREA)) best = i;
    if (static_cast<double>(b.stats.at<int>(best, cv::CC_STAT_AREA)) < r.threshold) return;

    // The kept piece in label coordinates and in the padded frame.
    const cv::Rect piece(b.stats.at<int>(best, cv::CC_STAT_LEFT), b.stats.at<int>(best, cv::CC_STAT_TOP),
                         b.stats.at<int>(best, cv::CC_STAT_WIDTH), b.stats.at<int>(best, cv::CC_STAT_HEIGHT));
    const int py0 = box.y0 + piece.y + r.pad_h, px0 = box.x0 + piece.x + r.pad_w;
    const int padded_h = r.rows + 2 * r.pad_h, padded_w = r.cols + 2 * r.pad_w;
    // Beyond twice the reach of one step the closing of this piece is 0, and
    // within it the region's own edge behaves like zeros beyond it.
    const int ry0 = std::max(0, py0 - 2 * r.reach_y);
    const int rx0 = std::max(0, px0 - 2 * r.reach_x);
    const int ry1 = std::min(padded_h - 1, py0 + piece.height - 1 + 2 * r.reach_y);
    const int rx1 = std::min(padded_w - 1, px0 + piece.width - 1 + 2 * r.reach_x);
    b.work.create(ry1 - ry0 + 1, rx1 - rx0 + 1, CV_8U);
    b.work.setTo(0);
    cv::Mat target = b.work(cv::Rect(px0 - rx0, py0 - ry0, piece.width, piece.height));
    cv::compare(b.labels(piece), best, target, cv::CMP_EQ);
    close(b.work, b.closed, r.kernel, b.tmp);

    // Back to mask coordinates: the padding is dropped.
    const int y_from = std::max(ry0, r.pad_h), y_to = std::min(ry1, r.pad_h + r.rows - 1);
    const int x_from = std::max(rx0, r.pad_w), x_to = std::min(rx1, r.pad_w + r.cols - 1);
    for (int y = y_from; y <= y_to; ++y) {
        const uint8_t* q = b.closed.ptr<uint8_t>(y - ry0);
        T* o = out.row(y - r.pad_h);
        for (int x = x_from; x <= x_to; ++x)
            if (q[x - rx0]) o[x - r.pad_w] = c;
    }
}

inline bool is_text_or_bytes(py::handle h) { return PyUnicode_Check(h.ptr()) || PyBytes_Check(h.ptr()); }

// Classes to process. A value the mask cannot hold (300 in 8 bits, 1.5 in
// integers) matches no pixel and is never 0, so it writes nothing.
template <class T>
struct ClassValue {
    bool fits;
    T value;
};

template <class T>
std::vector<ClassValue<T>> given_classes(py::handle class_list) {
    if (is_text_or_bytes(class_list) || !py::isinstance<py::iterable>(class_list))
        throw py::type_error("class_list must be a sequence of class values or None");
    std::vector<ClassValue<T>> classes;
    for (py::handle item : class_list) {
        ClassValue<T> c{false, T{}};
        if (!kiro::is_plain_number(item))
            throw py::type_error("class_list entries must be numbers, got " +
                                 std::string(py::str(py::type::handle_of(item).attr("__name__"))));
        c.fits = kiro::exact_value<T>(item, c.value, "class_list entry");
        classes.push_back(c);
    }
    return classes;
}

template <class T>
std::vector<ClassValue<T>> mask_classes(const py::array& mask, T bg) {
    const py::array values = kiro::distinct_values(mask);
    std::vector<ClassValue<T>> classes;
    const auto* v = static_cast<const T*>(values.data());
    bool removed = false;
    for (py::ssize_t i = 0; i < values.size(); ++i) {
        if (!removed && v[i] == bg) {
            removed = true;
            continue;
        }
        classes.push_back({true, v[i]});
    }
    return classes;
}

template <class T>
py::array repair(const py::array& mask, py::handle class_list, py::handle bg_mask, double delete_thresh) {
    T bg{};
    if (!kiro::is_plain_number(bg_mask))
        throw py::type_error("bg_mask must be a number, got " +
                             std::string(py::str(py::type::handle_of(bg_mask).attr("__name__"))));
    if (!kiro::exact_value<T>(bg_mask, bg, "bg_mask"))
        throw py::value_error("bg_mask " + std::string(py::repr(bg_mask)) + " cannot be stored in a mask of type " +
                              std::string(py::str(mask.dtype())));
    const std::vector<ClassValue<T>> classes =
        class_list.is_none() ? mask_classes<T>(mask, bg) : given_classes<T>(class_list);

    const int rows = static_cast<int>(mask.shape(0)), cols = static_cast<int>(mask.shape(1));
    py::array result = kiro::new_array(rows, cols, 0, mask.dtype());
    const Plane<T> plane{static_cast<const char*>(mask.data()), rows > 1 ? mask.strides(0) : 0, rows, cols};
    const Output<T> out{static_cast<char*>(result.mutable_data()), result.strides(0)};
    const Repair r = settings(rows, cols, delete_thresh);
    {
        py::gil_scoped_release nogil;
        out.fill(r, bg);
        if (rows > 0 && cols > 0) {
            std::array<Box, 256> boxes{};
            constexpr bool bytes = sizeof(T) == 1;
            if constexpr (bytes) boxes = byte_boxes(plane);
            Buffers buffers;
            for (const ClassValue<T>& c : classes) {
                if (!c.fits) continue;
                if (c.value == T{}) {  // its working mask is all 0, and so its closing
                    out.fill(r, T{});
                    continue;
                }
                Box box;
                if constexpr (bytes) {
                    uint8_t key;
                    std::memcpy(&key, &c.value, 1);
                    box = boxes[key];
                } else {
                    box = value_box(plane, c.value);
                }
                if (!box.empty()) repair_class(plane, c.value, box, r, out, buffers);
            }
        }
    }
    return result;
}

}  // namespace

py::array grellin(py::object mask, py::object class_list, py::object bg_mask, py::object delete_thresh) {
    py::array m = kiro::packed(kiro::as_ndarray(mask, "mask"));
    if (m.ndim() != 2)
        throw py::value_error("mask must have 2 axes (height x width), got " + std::to_string(m.ndim()));
    if (m.shape(0) > INT_MAX / 4 || m.shape(1) > INT_MAX / 4) throw py::value_error("mask is too large");
    double thresh = 0.0;
    if (!delete_thresh.is_none()) {
        if (!kiro::is_plain_number(delete_thresh))
            throw py::type_error("delete_thresh must be a real number or None, got " +
                                 std::string(py::str(py::type::handle_of(delete_thresh).attr("__name__"))));
        thresh = py::float_(delete_thresh).cast<double>();
    }
    return kiro::dispatch_dtype(m.dtype(), "mask", [&](auto tag) {
        using T = decltype(tag);
        return repair<T>(m, class_list, bg_mask, thresh);
    });
}

PYBIND11_MODULE(grellin, m) {
    kiro::register_errors();
    m.def("grellin", &grellin, py::arg("mask"), py::arg("class_list") = py::none(), py::arg("bg_mask") = 0,
          py::arg("delete_thresh") = py::none(),
          R"doc(Repair a label mask damaged by lossy compression or interpolation.

Every class keeps only its largest 4-connected piece, closed with a kernel of
(height // 80) x (width // 80) pixels (3 x 3 when either side is 0) so holes
and ragged borders are filled, then painted over a mask filled with
`bg_mask`; later classes overwrite earlier ones. Values that are not in the
class list disappear.

class_list: class values in processing order; None takes the distinct values
of the mask, ascending, without `bg_mask`. A listed value the mask does not
hold writes nothing; a listed 0 resets the whole result to 0.
delete_thresh: a class whose largest piece has fewer than
(width * delete_thresh) * (height * delete_thresh) pixels is dropped; None
means 0.

Returns a new mask of the input's shape and element type; `mask` is not
modified.)doc");
}
