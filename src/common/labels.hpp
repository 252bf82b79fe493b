// Checks shared by the operations on sample records.
#pragma once

#include <pybind11/pybind11.h>

#include "common/errors.hpp"
#include "common/kinds.hpp"

namespace kiro {

inline constexpr const char* kNoLabel = "No type of label is found, it should either be keypoints, mask or both";

// Records must carry "mask", "keypoints" or both (only the keys count).
inline void check_labels(py::handle data) {
    if (!has_key(data, "mask") && !has_key(data, "keypoints")) raise_plain(kNoLabel);
}

}  // namespace kiro
