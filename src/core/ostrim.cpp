// Zoom around a single class: pick one class value (mask) and the polygon of
// the same index (keypoints), crop image and labels to the rectangle that
// holds them (widened by a margin) and, on request, scale the crop back.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "common/arrays.hpp"
#include "common/draws.hpp"
#include "common/kinds.hpp"
#include "common/labels.hpp"
#include "common/row_labels.hpp"
#include "common/module.hpp"
#include "common/zoom.hpp"

namespace py = pybind11;
namespace zoom = kiro::zoom;
using namespace pybind11::literals;

namespace {

kiro::Globals g;

// class_num: a number is kept, a tuple/list is checked and one entry drawn
// from it, anything else becomes None.
py::object class_arg(py::handle class_num, py::handle bg_mask, bool has_mask) {
    if (kiro::is_seq(class_num)) {
        zoom::check_class_seq(class_num, bg_mask, has_mask);
        return kiro::draw::choice(class_num);
    }
    if (zoom::is_int_arg(class_num) || zoom::is_real_arg(class_num))
        return py::reinterpret_borrow<py::object>(class_num);
    return py::none();
}

bool less_than(py::handle a, long long n) {
    const int r = PyObject_RichCompareBool(a.ptr(), py::int_(n).ptr(), Py_LT);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

}  // namespace

py::object ostrim(py::object data, py::object bg_mask, py::object prob, py::object class_num,
                  py::object padding, py::object constant_size) {
    kiro::check_labels(data);
    kiro::row_labels::check(data);
    const py::object image_value = data[py::str("image")];  // read before the gate
    if (kiro::draw::gate_skips(prob)) return data;
    const py::int_ margin = zoom::margin(padding);
    const bool has_mask = kiro::has_key(data, "mask"), has_kp = kiro::has_key(data, "keypoints");
    py::object cls = class_arg(class_num, bg_mask, has_mask);

    // Both selections are taken on the unzoomed sample; the class chosen from
    // the mask is the polygon index of the keypoints.
    const py::array image = zoom::image_arg(image_value);
    const zoom::Size2 size = zoom::size_of(image);
    py::array mask, kp;
    zoom::Selection by_mask;
    if (has_mask) {
        mask = zoom::mask_entry(data, size);
        const zoom::MaskValues present = zoom::mask_values(mask);
        if (cls.is_none()) {
            const py::list cands = zoom::candidates(present.list, bg_mask);
            if (py::len(cands) > 0) cls = kiro::draw::choice(cands);
        }
        if (!cls.is_none()) {
            py::list one;
            one.append(cls);
            by_mask = zoom::select_classes(present, one);
        }
    }
    py::object row = py::none();
    py::object by_kp = py::none();
    if (has_kp) {
        kp = zoom::keypoints_entry(data);
        const long long n = kp.shape(0);
        if (cls.is_none() && n > 0) cls = py::int_(kiro::draw::randint(0, n - 1));
        if (!cls.is_none() && less_than(cls, n)) {
            row = zoom::as_index(cls);
            by_kp = zoom::helper_mask(g("kp2mask")(data, row, "one_class_only"_a = true), size);
        }
    }

    // One rectangle for image, mask and keypoints; nothing selected (no class,
    // or a polygon wholly outside the image): the record is left as it is.
    const py::object selection = zoom::union_of(by_mask, by_kp);
    if (selection.is_none()) return data;
    auto [image_crop, rect] = zoom::crop(g("faltor"), image, selection, margin, size);
    const bool scale = has_mask ? kiro::truthy(constant_size) : kiro::equals(constant_size, py::bool_(true));

    if (has_mask) {
        py::array mask_crop = zoom::crop_view(mask, rect);
        data[py::str("mask")] = scale ? zoom::resize_mask(mask_crop, size) : mask_crop;
    }
    if (has_kp) {
        zoom::move_keypoints(kp, rect, scale, size);
        py::list rows;
        if (!row.is_none()) rows.append(row);
        data[py::str("keypoints")] = row.is_none() ? kp.attr("copy")() : zoom::take_rows(kp, rows);
        if (!row.is_none()) kiro::row_labels::take(data, rows);
    }
    data[py::str("image")] = scale ? zoom::resize_image(image_crop, size) : image_crop;
    return data;
}

PYBIND11_MODULE(ostrim, m) {
    kiro::register_errors();
    kiro::import_name(m, "kiro.utils.faltor", "faltor");
    kiro::import_name(m, "kiro.utils.kp2mask", "kp2mask");
    g.bind(m);
    m.def("ostrim", &ostrim, py::arg("data"), py::arg("bg_mask") = 0, py::arg("prob") = 1.0,
          py::arg("class_num") = py::none(), py::arg("padding") = py::none(),
          py::arg("constant_size") = false,
          R"doc(Zoom a labelled sample onto one class.

`data` is a record with "image" and "mask" and/or "keypoints"; it is updated
in place and returned. "image" is read first (KeyError when missing), then the
operation acts when a uniform draw is not greater than `prob`.

`padding` is the margin in pixels: a number (truncated), or a tuple/list whose
first two entries bound a random integer margin; anything else means 0.

`class_num` is the class: a number is a mask value and a polygon row index; a
tuple/list gives one of its entries at random (it must not hold `bg_mask` when
there is a mask); None picks a random mask class (not `bg_mask`), or a random
polygon row when there is no mask. The same value serves mask and keypoints.

Image, mask and keypoints are cut to one rectangle: the one holding the class
pixels and the polygon of that index (when below the number of rows), widened
by the margin (faltor). Keypoints are moved into it, in place in the caller's
array; the result keeps the chosen polygon's row (all rows when no polygon was
chosen). The crop is scaled back to the input size (bicubic image, nearest
mask, keypoints alike) when `constant_size` is truthy on a sample with a mask,
or equal to True on a keypoint-only sample. Nothing selected: the record is
left as it is.)doc");
}
