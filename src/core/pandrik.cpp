// Zoom around chosen classes: pick some mask classes and keypoint polygons,
// crop image and labels to the rectangle that holds them (widened by a
// margin) and, on request, scale the crop back to the input size.
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

// class_num: a tuple/list is checked and kept, an integer or None kept,
// anything else becomes None.
py::object class_arg(py::handle class_num, py::handle bg_mask, bool has_mask) {
    if (kiro::is_seq(class_num)) {
        zoom::check_class_seq(class_num, bg_mask, has_mask);
        return py::reinterpret_borrow<py::object>(class_num);
    }
    if (class_num.is_none() || zoom::is_int_arg(class_num)) return py::reinterpret_borrow<py::object>(class_num);
    return py::none();
}

// Mask classes: candidates are the distinct values without the background.
zoom::Selection mask_selection(const py::array& mask, py::handle bg_mask, py::handle classes) {
    const zoom::MaskValues present = zoom::mask_values(mask);
    const py::list chosen = zoom::choose_classes(zoom::candidates(present.list, bg_mask), classes);
    return zoom::select_classes(present, chosen);
}

// Keypoint polygons: candidates are the row indices; the chosen ones go to
// kp2mask sorted ascending. Returns (sorted indices, polygon mask).
std::pair<py::list, py::object> polygon_selection(py::handle data, const py::array& kp, py::handle classes,
                                                  zoom::Size2 size) {
    py::list rows;
    for (py::ssize_t i = 0; i < kp.shape(0); ++i) rows.append(i);
    py::list chosen;
    for (py::handle c : zoom::choose_classes(rows, classes)) chosen.append(zoom::as_index(c));
    py::list sorted = py::module_::import("builtins").attr("sorted")(chosen).cast<py::list>();
    py::object sel = zoom::helper_mask(g("kp2mask")(data, sorted, "one_class_only"_a = true), size);
    return {sorted, sel};
}

}  // namespace

py::object pandrik(py::object data, py::object bg_mask, py::object prob, py::object class_num,
                   py::object padding, py::object constant_size) {
    kiro::check_labels(data);
    kiro::row_labels::check(data);
    if (kiro::draw::gate_skips(prob)) return data;
    const py::int_ margin = zoom::margin(padding);
    const bool has_mask = kiro::has_key(data, "mask"), has_kp = kiro::has_key(data, "keypoints");
    const py::object classes = class_arg(class_num, bg_mask, has_mask);

    // Both selections are taken on the unzoomed sample.
    const py::array image = zoom::image_entry(data);
    const zoom::Size2 size = zoom::size_of(image);
    py::array mask, kp;
    zoom::Selection by_mask;
    if (has_mask) {
        mask = zoom::mask_entry(data, size);
        by_mask = mask_selection(mask, bg_mask, classes);
    }
    py::list rows;
    py::object by_kp = py::none();
    if (has_kp) {
        kp = zoom::keypoints_entry(data);
        std::tie(rows, by_kp) = polygon_selection(data, kp, classes, size);
    }

    // One rectangle for image, mask and keypoints; nothing selected: no crop.
    const py::object selection = zoom::union_of(by_mask, by_kp);
    if (selection.is_none()) return data;
    auto [image_crop, rect] = zoom::crop(g("faltor"), image, selection, margin, size);
    const bool scale = kiro::equals(constant_size, py::bool_(true));

    if (has_mask) {
        py::array mask_crop = zoom::crop_view(mask, rect);
        data[py::str("mask")] = scale ? zoom::resize_mask(mask_crop, size) : mask_crop;
    }
    if (has_kp) {
        zoom::move_keypoints(kp, rect, scale, size);
        if (py::len(rows) > 0) {
            data[py::str("keypoints")] = zoom::take_rows(kp, rows);
            kiro::row_labels::take(data, rows);
        } else {
            data[py::str("keypoints")] = kp.attr("copy")();
        }
    }
    data[py::str("image")] = scale ? zoom::resize_image(image_crop, size) : image_crop;
    return data;
}

PYBIND11_MODULE(pandrik, m) {
    kiro::register_errors();
    kiro::import_name(m, "kiro.utils.faltor", "faltor");
    kiro::import_name(m, "kiro.utils.kp2mask", "kp2mask");
    g.bind(m);
    m.def("pandrik", &pandrik, py::arg("data"), py::arg("bg_mask") = 0, py::arg("prob") = 1.0,
          py::arg("class_num") = py::none(), py::arg("padding") = py::none(),
          py::arg("constant_size") = false,
          R"doc(Zoom a labelled sample onto some of its classes.

`data` is a record with "image" and "mask" and/or "keypoints"; it is updated
in place and returned. The operation acts when a uniform draw is not greater
than `prob`.

`padding` is the margin in pixels: a number (truncated), or a tuple/list whose
first two entries bound a random integer margin; anything else means 0.

`class_num` chooses the classes: None draws a random count, then that many
random classes; an integer draws that many (all when it exceeds the number of
classes); a tuple/list gives them (mask values for the mask, polygon row
indices for the keypoints; it must not hold `bg_mask` when there is a mask).
Mask and keypoints choose separately (mask first), from the distinct mask
values without `bg_mask` and from the polygon rows.

Image, mask and keypoints are cut to one rectangle: the one holding the chosen
mask classes and polygons, widened by the margin (faltor). Keypoints are moved
into it, in place in the caller's array, and only the chosen polygons are kept
(all rows when none was chosen). When `constant_size == True` the crop is
scaled back to the input size: bicubic for the image, nearest for the mask,
keypoints scaled alike (an integer array truncates). Nothing selected: the
record is left as it is.)doc");
}
