// Class removal: paint over some labelled classes (mask values, keypoint
// polygons or both) with fill_in, turn their mask pixels into background and
// drop their polygons.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <vector>

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

constexpr const char* kWrongClassNum = "Wrong class_num type: it should be a tuple/list that not contains bg_mask.";

kiro::Globals g;

// class_num as given, once checked: a non-empty tuple/list (without bg_mask
// when the record has a mask), an integer or None.
py::object checked_class_num(py::object class_num, py::handle bg_mask, bool has_mask) {
    if (kiro::is_seq(class_num)) {
        if (py::len(class_num) == 0 || (has_mask && del::contains(class_num, bg_mask))) kiro::raise_plain(kWrongClassNum);
        return class_num;
    }
    if (class_num.is_none() || kiro::is_integer(class_num)) return class_num;
    kiro::raise_plain(kWrongClassNum);
}

// Chosen entries of `pool`: None draws a count in [1, len] then a sample; an
// integer draws that many (all of them when it exceeds the pool); a tuple or
// list is taken as it is.
py::list choose(py::handle class_num, const py::list& pool) {
    if (class_num.is_none()) {
        if (pool.empty()) return py::list();
        const long long k = kiro::draw::randint(1, static_cast<long long>(py::len(pool)));
        return kiro::draw::sample(pool, py::int_(k));
    }
    if (kiro::is_integer(class_num)) {
        py::int_ k(py::reinterpret_borrow<py::object>(class_num));
        if (k <= py::int_(py::len(pool))) return kiro::draw::sample(pool, k);
        return py::list(pool.attr("copy")());
    }
    return py::list(py::reinterpret_borrow<py::object>(class_num));
}

py::object paint(py::object image, py::handle region, py::handle fill_type) {
    return g("fill_in")(image, region, fill_type);
}

// Mask classes: each chosen class still present is painted and set to bg_mask.
py::object mask_branch(py::handle data, py::object image, const del::Size2& size, py::handle class_num,
                       py::handle bg_mask, py::handle fill_type) {
    py::object mask_obj = del::item(data, "mask");
    py::array mask = del::mask_arg(mask_obj, size);
    const py::list chosen = kiro::is_seq(class_num) ? py::list(py::reinterpret_borrow<py::object>(class_num))
                                                    : choose(class_num, del::candidates(mask, bg_mask));
    del::with_eraser(mask, bg_mask, [&](auto& eraser) {
        for (py::handle cls : chosen)
            eraser.erase(cls, [&](py::handle region) { image = paint(image, region, fill_type); });
    });
    del::store(data, "mask", mask_obj);
    del::store(data, "image", image);
    return image;
}

// Polygon indices to walk, ascending. A given tuple/list counts each index
// once and drops negative ones.
std::vector<long long> polygon_indices(py::handle class_num, long long n) {
    std::vector<long long> picked;
    if (kiro::is_seq(class_num)) {
        for (py::handle c : class_num) {
            const del::RowIndex r = del::row_index(c);
            if (!r.ok)
                throw py::index_error("class_num: keypoint rows are indexed by integers, got " + del::repr_of(c));
            if (r.value >= 0) picked.push_back(r.value);
        }
    } else {
        py::list rows;
        for (long long i = 0; i < n; ++i) rows.append(i);
        for (py::handle c : choose(class_num, rows)) picked.push_back(c.cast<long long>());
    }
    std::sort(picked.begin(), picked.end());
    picked.erase(std::unique(picked.begin(), picked.end()), picked.end());
    return picked;
}

// Polygons: walk the sorted indices with a running position p; index c names
// row c - p of the shortened array and is skipped when that row does not exist.
py::object keypoint_branch(py::handle data, py::object image, py::handle class_num, py::handle fill_type) {
    py::object kp_obj = del::item(data, "keypoints");
    py::array kp = del::keypoints_arg(kp_obj);
    const long long n = kp.shape(0);
    const std::vector<long long> walk = polygon_indices(class_num, n);
    long long rows = n;
    std::vector<long long> removed;
    for (size_t p = 0; p < walk.size(); ++p) {
        const long long c = walk[p];
        if (c - static_cast<long long>(p) >= rows) continue;
        py::object region = g("kp2mask")(data, c, py::arg("one_class_only") = true);
        image = paint(image, region, fill_type);
        // Earlier rows removed are all below c, so row c - p is the original row c.
        removed.push_back(c);
        --rows;
    }
    del::store(data, "keypoints", removed.empty() ? kp_obj : del::without_rows(kp, removed));
    kiro::row_labels::drop(data, removed);
    return image;
}

}  // namespace

py::object murtane(py::object data, py::object class_num, py::object bg_mask, py::object prob,
                   py::object fill_type) {
    kiro::check_labels(data);
    kiro::row_labels::check(data);
    py::object image = del::item(data, "image");
    if (!del::gate_passes(prob)) return data;
    const bool has_mask = kiro::has_key(data, "mask");
    const py::object classes = checked_class_num(class_num, bg_mask, has_mask);
    const del::Size2 size = del::image_size(image);
    if (has_mask) image = mask_branch(data, image, size, classes, bg_mask, fill_type);
    if (kiro::has_key(data, "keypoints")) image = keypoint_branch(data, image, classes, fill_type);
    del::store(data, "image", image);
    return data;
}

PYBIND11_MODULE(murtane, m) {
    kiro::register_errors();
    kiro::import_all(m, "kiro.core.KirO");
    kiro::import_name(m, "kiro.utils.kp2mask", "kp2mask");
    kiro::import_name(m, "kiro.utils.fill_in", "fill_in");
    g.bind(m);
    m.def("murtane", &murtane, py::arg("data"), py::arg("class_num") = py::none(), py::arg("bg_mask") = 0,
          py::arg("prob") = 1.0, py::arg("fill_type") = m.attr("DELETED_FILL_MEAN"),
          R"doc(Remove some labelled classes from a sample record, in place.

`data` holds "image" and "mask" and/or "keypoints". With probability `prob`
(one random() draw; the record is returned untouched when it is above
`prob`), classes are chosen and each one is painted over in the image with
fill_in(image, region, fill_type), its mask pixels are set to `bg_mask` (in
the caller's mask array) and its polygon row is dropped.

class_num: None deletes a random number of random classes (randint for the
count, then sample); an integer deletes that many random classes (all when it
exceeds their number); a non-empty tuple or list names them: mask values for
the mask, polygon row indices for the keypoints. Mask classes are the
distinct mask values other than `bg_mask`; a class no longer in the mask is
skipped. Polygon indices are walked in ascending order, each one once,
negative ones dropped; index c is removed as row c - p of the shortened
array (p its position in the walk) and skipped when that row does not exist.

fill_type: DELETED_FILL_MEAN, DELETED_FILL_RANDOM or an integer fill value,
passed to fill_in unchanged.

Raises Exception("Wrong class_num type: it should be a tuple/list that not
contains bg_mask.") for an empty tuple/list, one containing `bg_mask` while
the record has a mask, or a class_num of another type. Returns `data`.)doc");
}
