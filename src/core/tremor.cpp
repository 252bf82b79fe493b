// Shake: a faint shifted copy blended over the image, then a small blur.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "common/arrays.hpp"
#include "common/draws.hpp"
#include "common/elementwise.hpp"
#include "common/errors.hpp"
#include "common/shake.hpp"

namespace py = pybind11;

namespace {

struct Shift {
    py::object x, y;
};

py::object pick(long long a, long long b) {
    py::list pair;
    pair.append(a);
    pair.append(b);
    return kiro::draw::choice(pair);
}

// Shift drawn by image height: small images up to 3 px either way (possibly
// none), taller ones 3..5 or 5..10 px on both axes in a random direction.
Shift draw_shift(py::ssize_t rows) {
    using kiro::draw::randint;
    if (rows <= 300) {
        const long long x = randint(-3, 3);
        const long long y = randint(-3, 3);
        return {py::int_(x), py::int_(y)};
    }
    long long x1, y1, x2, y2;
    if (rows >= 1000) {
        x1 = randint(-10, -5);
        y1 = randint(5, 10);
        x2 = randint(5, 10);
        y2 = randint(-10, -5);
    } else {
        x1 = randint(-5, -3);
        y1 = randint(-5, -3);
        x2 = randint(3, 5);
        y2 = randint(3, 5);
    }
    py::object x = pick(x1, x2);
    py::object y = pick(y1, y2);
    return {x, y};
}

float as_f32(const py::object& v) { return static_cast<float>(py::float_(v).cast<double>()); }

}  // namespace

py::array tremor_image(py::object image, py::object x, py::object y) {
    py::array a = kiro::as_ndarray(image, "image");
    const auto shape = kiro::unpack3(a);
    const Shift shift = (x.is_none() || y.is_none()) ? draw_shift(shape[0]) : Shift{x, y};
    const float dx = as_f32(shift.x), dy = as_f32(shift.y);

    if (a.dtype().kind() == 'b') throw py::type_error("image: element type bool is not supported");
    kiro::Image src(a, "image");
    py::array out = kiro::new_like(src.array);  // native order, as the pixels are written
    cv::Mat result = kiro::mat_view(out, "result");
    {
        py::gil_scoped_release nogil;
        kiro::shake(src.mat, result, dx, dy);
    }
    return out;
}

PYBIND11_MODULE(tremor, m) {
    kiro::register_errors();
    m.doc() = "Camera shake: shifted double exposure with a slight blur.";
    m.def("tremor_image", &tremor_image, py::arg("image"), py::arg("x") = py::none(), py::arg("y") = py::none(),
          R"doc(Blend a shifted copy of `image` over it and blur slightly; new array.

The copy is shifted by (x, y) pixels (cv.warpAffine, bilinear, black border),
blended as 0.7 * image + 0.3 * shifted (cv.addWeighted) and blurred with a
3 x 3 Gaussian of sigma 2. The given shift is used only when both x and y are
given; otherwise both are drawn from `random` by the image height:
up to 300 rows, randint(-3, 3) each; from 1000 rows, x1 = randint(-10, -5),
y1 = randint(5, 10), x2 = randint(5, 10), y2 = randint(-10, -5), then
x = choice([x1, x2]), y = choice([y1, y2]); in between the same with ranges
[-5, -3], [-5, -3], [3, 5], [3, 5]. `image` is height x width x channels; the
result has its shape and element type.)doc");
}
