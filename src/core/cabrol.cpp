// Column brightness ramp: one offset per column, running from one end of the
// light range at the left edge to the other at the right edge.
#include <pybind11/pybind11.h>

#include "common/module.hpp"
#include "common/ramp.hpp"

namespace py = pybind11;
using kiro::ramp::Axis;

PYBIND11_MODULE(cabrol, m) {
    kiro::register_errors();
    kiro::ramp::import_light(m);
    kiro::Globals g;
    g.bind(m);

    kiro::ramp::bind_light<Axis::Columns>(m, "HorizontalLight", g,
                                          R"doc(Column brightness ramp with fixed settings.

HorizontalLight(prob=0.5, space_type=LIGHT_LINEAR, light_scale=50) keeps the
three settings as attributes; they are not checked until `do` computes a run.)doc",
                                          R"doc(Apply the ramp to `image` with probability `prob`.

One random.random() draw: when it is not less than `prob`, `image` itself comes
back untouched. Otherwise the run light_space_process(space_type, light_scale,
width) is added to the columns (x[j] to every pixel and channel of column j) in
double precision, clipped to 0..255 and converted back to the image's element
type (integers truncate toward zero) in a new array. The image must have 2 or
3 axes ("Wrong image chanel!", raised after the run is computed); it is never
modified.)doc");

    m.def(
        "cabrol",
        [g](py::object image, py::object prob, py::object light_scale, py::object space_type) {
            return kiro::ramp::operation(image, prob, light_scale, space_type, Axis::Columns, g);
        },
        py::arg("image"), py::arg("prob") = 0.5, py::arg("light_scale") = py::none(),
        py::arg("space_type") = m.attr("LIGHT_LINEAR"),
        R"doc(Brighten one side of `image` and darken the other, column by column.

With `light_scale` None the scale is drawn from MEAN, the truncated mean of all
elements: LIGHT_LINEAR draws random.randint(-MEAN, MEAN); LIGHT_LOG draws
random.random(), -random.random() and random.randint(-MEAN, MEAN) and takes
one of the three with random.choice (a drawn 0 gives a run of zeros). These
draws come before the gate. Returns HorizontalLight(prob, space_type,
light_scale).do(image): `image` itself when the gate skips, else a new array.)doc");
}
