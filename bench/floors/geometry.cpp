// Floors of the geometric operations: the OpenCV calls each cannot avoid on
// the image and the mask, and the mapping of polygon vertices (points, an
// N x 2 float64 array, through the 3 x 3 map of continuous coordinates; no
// clipping) when given.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "common/arrays.hpp"

namespace py = pybind11;

namespace {

cv::Matx23d matx23(py::array_t<double, py::array::c_style | py::array::forcecast> m) {
    if (m.size() != 6 && m.size() != 9) throw py::value_error("2 x 3 or 3 x 3 matrix expected");
    const double* p = m.data();
    return cv::Matx23d(p[0], p[1], p[2], p[3], p[4], p[5]);
}

cv::Matx33d matx33(py::array_t<double, py::array::c_style | py::array::forcecast> m) {
    if (m.size() != 9) throw py::value_error("3 x 3 matrix expected");
    return cv::Matx33d(m.data());
}

// The points through `map` into a new N x 2 array (None without points).
struct Points {
    py::object result = py::none(), keep;
    cv::Mat src, dst;
    cv::Matx33d map;
    bool projective = false;

    Points(py::object points, py::object pmap) {
        if (points.is_none()) return;
        auto a = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(points);
        if (!a || a.ndim() != 2 || a.shape(1) != 2) throw py::value_error("points must be N x 2");
        map = matx33(pmap);
        projective = map(2, 0) != 0 || map(2, 1) != 0 || map(2, 2) != 1;
        py::array out = kiro::new_array(a.shape(0), 2, 0, a.dtype());
        src = cv::Mat(static_cast<int>(a.shape(0)), 1, CV_64FC2, const_cast<double*>(a.data()));
        dst = cv::Mat(static_cast<int>(a.shape(0)), 1, CV_64FC2, out.mutable_data());
        result = std::move(out);
        keep = a;
    }
    // Without the GIL.
    void run() {
        if (src.empty()) return;
        if (projective)
            cv::perspectiveTransform(src, dst, map);
        else
            cv::transform(src, dst, map.get_minor<2, 3>(0, 0));
    }
};

py::array new_image(const kiro::Image& img, int h, int w) {
    return kiro::new_array(h, w, img.ndim() == 3 ? img.channels() : 0, img.array.dtype());
}

}  // namespace

// cv::flip of image and mask (code 1 horizontal, 0 vertical, -1 both).
py::tuple flip(py::array image, py::array mask, int code, py::object points, py::object pmap) {
    kiro::Image img(image, "image"), msk(mask, "mask");
    py::array out_image = kiro::new_like(img.array), out_mask = kiro::new_like(msk.array);
    cv::Mat di = kiro::mat_view(out_image, "out"), dm = kiro::mat_view(out_mask, "out");
    Points pts(points, pmap);
    {
        py::gil_scoped_release nogil;
        cv::flip(img.mat, di, code);
        cv::flip(msk.mat, dm, code);
        pts.run();
    }
    return py::make_tuple(out_image, out_mask, pts.result);
}

// cv::warpAffine by the 2 x 3 pixel matrix M: bilinear image, nearest mask,
// both with a 0 border.
py::tuple affine(py::array image, py::array mask, py::object M, py::object points, py::object pmap) {
    kiro::Image img(image, "image"), msk(mask, "mask");
    py::array out_image = kiro::new_like(img.array), out_mask = kiro::new_like(msk.array);
    cv::Mat di = kiro::mat_view(out_image, "out"), dm = kiro::mat_view(out_mask, "out");
    const cv::Matx23d m = matx23(M);
    Points pts(points, pmap);
    {
        py::gil_scoped_release nogil;
        cv::warpAffine(img.mat, di, m, di.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar());
        cv::warpAffine(msk.mat, dm, m, dm.size(), cv::INTER_NEAREST, cv::BORDER_CONSTANT, cv::Scalar());
        pts.run();
    }
    return py::make_tuple(out_image, out_mask, pts.result);
}

// cv::warpPerspective by the 3 x 3 pixel matrix M: bilinear image, nearest
// mask, both with a 0 border.
py::tuple perspective(py::array image, py::array mask, py::object M, py::object points, py::object pmap) {
    kiro::Image img(image, "image"), msk(mask, "mask");
    py::array out_image = kiro::new_like(img.array), out_mask = kiro::new_like(msk.array);
    cv::Mat di = kiro::mat_view(out_image, "out"), dm = kiro::mat_view(out_mask, "out");
    const cv::Matx33d m = matx33(M);
    Points pts(points, pmap);
    {
        py::gil_scoped_release nogil;
        cv::warpPerspective(img.mat, di, m, di.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar());
        cv::warpPerspective(msk.mat, dm, m, dm.size(), cv::INTER_NEAREST, cv::BORDER_CONSTANT, cv::Scalar());
        pts.run();
    }
    return py::make_tuple(out_image, out_mask, pts.result);
}

// A random h x w window: offsets drawn with random.randint over
// [min(0, W - w), max(0, W - w)] (and likewise in y). Inside the image, two
// views; otherwise new arrays, the covered part copied and the rest set to 0.
py::tuple crop(py::array image, py::array mask, int h, int w, py::object points) {
    py::object randint = py::module_::import("random").attr("randint");
    const int H = static_cast<int>(image.shape(0)), W = static_cast<int>(image.shape(1));
    const int x0 = randint(std::min(0, W - w), std::max(0, W - w)).cast<int>();
    const int y0 = randint(std::min(0, H - h), std::max(0, H - h)).cast<int>();
    const cv::Matx33d shift(1, 0, -x0, 0, 1, -y0, 0, 0, 1);
    Points pts(points, points.is_none() ? py::object(py::none()) : py::array_t<double>({3, 3}, shift.val));
    if (x0 >= 0 && y0 >= 0 && x0 + w <= W && y0 + h <= H) {
        {
            py::gil_scoped_release nogil;
            pts.run();
        }
        const py::tuple window = py::make_tuple(py::slice(y0, y0 + h, 1), py::slice(x0, x0 + w, 1));
        return py::make_tuple(image[window], mask[window], pts.result);
    }
    kiro::Image img(image, "image"), msk(mask, "mask");
    py::array out_image = new_image(img, h, w), out_mask = new_image(msk, h, w);
    cv::Mat di = kiro::mat_view(out_image, "out"), dm = kiro::mat_view(out_mask, "out");
    const cv::Rect src = cv::Rect(x0, y0, w, h) & cv::Rect(0, 0, W, H);
    const cv::Rect dst(src.x - x0, src.y - y0, src.width, src.height);
    {
        py::gil_scoped_release nogil;
        const cv::Rect bands[4] = {{0, 0, w, dst.y},
                                   {0, dst.y + dst.height, w, h - dst.y - dst.height},
                                   {0, dst.y, dst.x, dst.height},
                                   {dst.x + dst.width, dst.y, w - dst.x - dst.width, dst.height}};
        for (const cv::Rect& b : bands) {
            if (b.area() == 0) continue;
            di(b).setTo(cv::Scalar::all(0));
            dm(b).setTo(cv::Scalar::all(0));
        }
        img.mat(src).copyTo(di(dst));
        msk.mat(src).copyTo(dm(dst));
        pts.run();
    }
    return py::make_tuple(out_image, out_mask, pts.result);
}

// An oh x ow output holding image and mask resized to nh x nw at (top, left)
// (bilinear image, INTER_NEAREST_EXACT mask), the rest set to 0: a plain
// resize when the output is nh x nw, a letterbox otherwise.
py::tuple resize(py::array image, py::array mask, int nh, int nw, int oh, int ow, int top, int left,
                 py::object points, py::object pmap) {
    kiro::Image img(image, "image"), msk(mask, "mask");
    py::array out_image = new_image(img, oh, ow), out_mask = new_image(msk, oh, ow);
    cv::Mat di = kiro::mat_view(out_image, "out"), dm = kiro::mat_view(out_mask, "out");
    const cv::Rect inner(left, top, nw, nh);
    Points pts(points, pmap);
    {
        py::gil_scoped_release nogil;
        if (nh != oh || nw != ow) {
            // The bands around the resized image: above, below, left, right.
            const cv::Rect bands[4] = {{0, 0, ow, top},
                                       {0, top + nh, ow, oh - top - nh},
                                       {0, top, left, nh},
                                       {left + nw, top, ow - left - nw, nh}};
            for (const cv::Rect& b : bands) {
                if (b.area() == 0) continue;
                di(b).setTo(cv::Scalar::all(0));
                dm(b).setTo(cv::Scalar::all(0));
            }
        }
        cv::Mat ri = di(inner), rm = dm(inner);
        cv::resize(img.mat, ri, inner.size(), 0, 0, cv::INTER_LINEAR);
        cv::resize(msk.mat, rm, inner.size(), 0, 0, cv::INTER_NEAREST_EXACT);
        pts.run();
    }
    return py::make_tuple(out_image, out_mask, pts.result);
}

// Image and mask resized to nh x nw (bilinear, INTER_NEAREST_EXACT), then the
// h x w window at (y0, x0) of that, padded with 0 below and right where it is
// smaller.
py::tuple scale_jitter(py::array image, py::array mask, int nh, int nw, int h, int w, int y0, int x0,
                       py::object points, py::object pmap) {
    kiro::Image img(image, "image"), msk(mask, "mask");
    py::array out_image = new_image(img, h, w), out_mask = new_image(msk, h, w);
    cv::Mat di = kiro::mat_view(out_image, "out"), dm = kiro::mat_view(out_mask, "out");
    const cv::Rect src(x0, y0, std::min(w, nw - x0), std::min(h, nh - y0));
    const cv::Rect dst(0, 0, src.width, src.height);
    Points pts(points, pmap);
    {
        py::gil_scoped_release nogil;
        cv::Mat ti, tm;
        cv::resize(img.mat, ti, cv::Size(nw, nh), 0, 0, cv::INTER_LINEAR);
        cv::resize(msk.mat, tm, cv::Size(nw, nh), 0, 0, cv::INTER_NEAREST_EXACT);
        const cv::Rect bands[2] = {{0, dst.height, w, h - dst.height}, {dst.width, 0, w - dst.width, dst.height}};
        for (const cv::Rect& b : bands) {
            if (b.area() == 0) continue;
            di(b).setTo(cv::Scalar::all(0));
            dm(b).setTo(cv::Scalar::all(0));
        }
        ti(src).copyTo(di(dst));
        tm(src).copyTo(dm(dst));
        pts.run();
    }
    return py::make_tuple(out_image, out_mask, pts.result);
}

PYBIND11_MODULE(floors_geometry, m) {
    const auto none = py::none();
    m.def("flip", &flip, py::arg("image"), py::arg("mask"), py::arg("code"), py::arg("points") = none,
          py::arg("pmap") = none);
    m.def("affine", &affine, py::arg("image"), py::arg("mask"), py::arg("M"), py::arg("points") = none,
          py::arg("pmap") = none);
    m.def("perspective", &perspective, py::arg("image"), py::arg("mask"), py::arg("M"), py::arg("points") = none,
          py::arg("pmap") = none);
    m.def("crop", &crop, py::arg("image"), py::arg("mask"), py::arg("h"), py::arg("w"), py::arg("points") = none);
    m.def("resize", &resize, py::arg("image"), py::arg("mask"), py::arg("nh"), py::arg("nw"), py::arg("oh"),
          py::arg("ow"), py::arg("top"), py::arg("left"), py::arg("points") = none, py::arg("pmap") = none);
    m.def("scale_jitter", &scale_jitter, py::arg("image"), py::arg("mask"), py::arg("nh"), py::arg("nw"),
          py::arg("h"), py::arg("w"), py::arg("y0"), py::arg("x0"), py::arg("points") = none,
          py::arg("pmap") = none);
}
