// Single-class removal: paint over one class (a mask value and/or a keypoint
// polygon) with fill_in, turn its mask pixels into background and drop its
// polygon.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cmath>

#include "common/deletion.hpp"
#include "common/draws.hpp"
#include "common/errors.hpp"
#include "common/kinds.hpp"
#include "common/labels.hpp"
#include "common/row_labels.hpp"
#include "common/module.hpp"

namespace py = pybind11;
namespace del = kiro::deletion;

namespace {

constexpr const char* kWrongClassNum =
    "Wrong class_num type: it should be a number or a tuple/list that not contains bg_mask.";

kiro::Globals g;

// Numbers kept as a class: integers (booleans and NumPy integers too) and
// Python floats.
bool is_class_number(py::handle h) { return kiro::is_integer(h) || PyFloat_Check(h.ptr()); }

// class_num once checked: a number as it is, one random entry of a tuple or
// list, None for anything else.
py::object checked_class_num(py::object class_num, py::handle bg_mask, bool has_mask) {
    if (is_class_number(class_num)) return class_num;
    if (kiro::is_seq(class_num)) {
        if (py::len(class_num) == 0 || (has_mask && del::contains(class_num, bg_mask))) kiro::raise_plain(kWrongClassNum);
        return kiro::draw::choice(class_num);
    }
    return py::none();
}

// Mask: picks a random class when none is given, then deletes it when present.
void mask_branch(py::handle data, py::object& image, py::object& class_num, const del::Size2& size,
                 py::handle bg_mask, py::handle fill_type) {
    py::object mask_obj = del::item(data, "mask");
    py::array mask = del::mask_arg(mask_obj, size);
    if (class_num.is_none()) {
        const py::list pool = del::candidates(mask, bg_mask);
        if (!pool.empty()) class_num = kiro::draw::choice(pool);
    }
    if (class_num.is_none()) return;
    bool erased = false;
    del::with_eraser(mask, bg_mask, [&](auto& eraser) {
        erased = eraser.erase(class_num, [&](py::handle region) {
            image = g("fill_in")(image, region, fill_type);
            del::store(data, "image", image);
        });
    });
    if (erased) del::store(data, "mask", mask_obj);
}

// The row named by class_num (n rows), or -1 when it names none (not below n).
long long named_row(py::handle class_num, long long n) {
    const del::RowIndex r = del::row_index(class_num);
    if (r.ok) {
        if (r.value >= n) return -1;
        // Negative indices count from the end, as kp2mask reads them.
        if (r.value < -n)
            throw py::index_error("class_num " + std::to_string(r.value) + " is out of range for " +
                                  std::to_string(n) + " keypoint rows");
        return r.value < 0 ? r.value + n : r.value;
    }
    if (kiro::is_real(class_num)) {
        if (!(py::float_(py::reinterpret_borrow<py::object>(class_num)).cast<double>() < static_cast<double>(n)))
            return -1;
        throw py::index_error("class_num " + del::repr_of(class_num) + " cannot index keypoint rows: rows are "
                              "indexed by integers");
    }
    throw py::type_error("class_num " + del::repr_of(class_num) + " cannot index keypoint rows");
}

void keypoint_branch(py::handle data, py::object image, py::object class_num, py::handle fill_type) {
    py::object kp_obj = del::item(data, "keypoints");
    py::array kp = del::keypoints_arg(kp_obj);
    const long long n = kp.shape(0);
    if (class_num.is_none() && n > 0) class_num = py::int_(kiro::draw::randint(0, n - 1));
    if (class_num.is_none()) return;
    const long long row = named_row(class_num, n);
    if (row < 0) return;
    py::object region = g("kp2mask")(data, row, py::arg("one_class_only") = true);
    image = g("fill_in")(image, region, fill_type);
    del::store(data, "image", image);
    del::store(data, "keypoints", del::without_rows(kp, {row}));
    kiro::row_labels::drop(data, {row});
}

}  // namespace

py::object yelmot(py::object data, py::object class_num, py::object bg_mask, py::object prob,
                  py::object fill_type) {
    kiro::check_labels(data);
    kiro::row_labels::check(data);
    py::object image = del::item(data, "image");
    if (!del::gate_passes(prob)) return data;
    const bool has_mask = kiro::has_key(data, "mask");
    py::object cls = checked_class_num(class_num, bg_mask, has_mask);
    const del::Size2 size = del::image_size(image);
    if (has_mask) mask_branch(data, image, cls, size, bg_mask, fill_type);
    if (kiro::has_key(data, "keypoints")) keypoint_branch(data, image, cls, fill_type);
    return data;
}

PYBIND11_MODULE(yelmot, m) {
    kiro::register_errors();
    kiro::import_all(m, "kiro.core.KirO");
    kiro::import_name(m, "kiro.utils.kp2mask", "kp2mask");
    kiro::import_name(m, "kiro.utils.fill_in", "fill_in");
    g.bind(m);
    m.def("yelmot", &yelmot, py::arg("data"), py::arg("class_num") = py::none(), py::arg("bg_mask") = 0,
          py::arg("prob") = 1.0, py::arg("fill_type") = m.attr("DELETED_FILL_MEAN"),
          R"doc(Remove one labelled class from a sample record, in place.

`data` holds "image" and "mask" and/or "keypoints". With probability `prob`
(one random() draw; the record is returned untouched when it is above
`prob`) one class is deleted: its pixels are painted over with
fill_in(image, region, fill_type), its mask pixels are set to `bg_mask` (in
the caller's mask array) and its polygon row is dropped.

class_num: a number is the class value in the mask and the row index in the
keypoints (negative rows count from the end); a non-empty tuple or list gives
one of its entries at random (choice); anything else, None included, lets the
operation choose: a random distinct mask value other than `bg_mask`, which is
then also the row index, or for a record without a mask a random row
(randint). A class absent from the mask or a row not below the number of rows
leaves that label unchanged.

fill_type: DELETED_FILL_MEAN, DELETED_FILL_RANDOM or an integer fill value,
passed to fill_in unchanged.

Raises Exception("Wrong class_num type: it should be a number or a tuple/list
that not contains bg_mask.") for an empty tuple/list or one containing
`bg_mask` while the record has a mask. Returns `data`.)doc");
}
