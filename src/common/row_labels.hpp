// The optional "labels" entry of a record: one entry per keypoint row (a
// list, tuple or array), kept aligned when an operation keeps, drops or
// reorders keypoint rows.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "common/kinds.hpp"

namespace kiro {
namespace row_labels {
namespace py = pybind11;

inline bool present(py::handle data) { return has_key(data, "labels"); }

// Refuses a "labels" entry whose length is not the number of keypoint rows.
// Keypoints the operation itself will refuse are left to it.
inline void check(py::handle data) {
    if (!present(data)) return;
    py::object labels = data[py::str("labels")];
    if (py::isinstance<py::str>(labels) || py::isinstance<py::bytes>(labels) || !py::hasattr(labels, "__len__"))
        throw py::type_error("labels must be a sequence with one entry per keypoint row, got " +
                             std::string(py::str(py::type::of(labels).attr("__name__"))));
    if (py::isinstance<py::array>(labels) && py::reinterpret_borrow<py::array>(labels).ndim() == 0)
        throw py::type_error("labels must be a sequence with one entry per keypoint row, got a 0-d array");
    const py::ssize_t n_labels = py::len(labels);
    if (!has_key(data, "keypoints")) {
        if (n_labels == 0) return;
        throw py::value_error("labels has " + std::to_string(n_labels) +
                              " entries but the record has no keypoints");
    }
    py::object kp_obj = data[py::str("keypoints")];
    if (!py::isinstance<py::array>(kp_obj)) return;
    py::array kp = py::reinterpret_borrow<py::array>(kp_obj);
    py::ssize_t rows;
    if (kp.ndim() == 2) rows = kp.shape(0);
    else if (kp.size() == 0) rows = 0;
    else return;
    if (n_labels != rows)
        throw py::value_error("labels has " + std::to_string(n_labels) + " entries but keypoints has " +
                              std::to_string(rows) + " rows; labels needs one entry per keypoint row");
}

// Same kind of sequence as `like`, holding `items`: list -> list, tuple -> tuple.
inline py::object rebuild(py::handle like, const py::list& items) {
    if (py::isinstance<py::tuple>(like)) return py::tuple(items);
    return std::move(items);
}

// labels[rows] (rows index like the keypoint array: negative from the end).
inline void take(py::handle data, const py::list& rows) {
    if (!present(data)) return;
    py::object labels = data[py::str("labels")];
    if (py::isinstance<py::array>(labels)) {
        py::object index = py::module_::import("numpy").attr("asarray")(rows, py::arg("dtype") = "intp");
        data[py::str("labels")] = labels[index];
        return;
    }
    py::list out;
    for (py::handle r : rows) out.append(labels[r]);
    data[py::str("labels")] = rebuild(labels, out);
}

// labels without the given (non-negative) rows.
inline void drop(py::handle data, const std::vector<long long>& rows) {
    if (!present(data) || rows.empty()) return;
    py::object labels = data[py::str("labels")];
    if (py::isinstance<py::array>(labels)) {
        py::list index;
        for (long long r : rows) index.append(r);
        data[py::str("labels")] = py::module_::import("numpy").attr("delete")(labels, index, 0);
        return;
    }
    std::vector<bool> gone(static_cast<size_t>(py::len(labels)), false);
    for (long long r : rows)
        if (r >= 0 && static_cast<size_t>(r) < gone.size()) gone[static_cast<size_t>(r)] = true;
    py::list out;
    py::ssize_t i = 0;
    for (py::handle v : labels) {
        if (!gone[static_cast<size_t>(i++)]) out.append(v);
    }
    data[py::str("labels")] = rebuild(labels, out);
}

}  // namespace row_labels
}  // namespace kiro
