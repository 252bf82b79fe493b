// Class values of label masks.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <array>
#include <cstdint>

#include "common/arrays.hpp"

namespace kiro {
namespace py = pybind11;

// Distinct values of `mask`, ascending, as an array of the mask's dtype.
// 8-bit masks take one histogram pass; other types go through numpy.unique.
inline py::array distinct_values(const py::array& mask) {
    const char kind = mask.dtype().kind();
    if (mask.itemsize() != 1 || (kind != 'u' && kind != 'i' && kind != 'b'))
        return py::module_::import("numpy").attr("unique")(mask).cast<py::array>();
    const py::array m = packed(mask);
    std::array<bool, 256> seen{};
    const auto* base = static_cast<const uint8_t*>(m.data());
    const py::ssize_t rows = m.ndim() >= 1 ? m.shape(0) : 1;
    const py::ssize_t row_len = m.ndim() >= 1 && rows > 0 ? m.size() / rows : m.size();
    const py::ssize_t stride = m.ndim() >= 1 ? m.strides(0) : 0;
    {
        py::gil_scoped_release nogil;
        for (py::ssize_t r = 0; r < rows; ++r) {
            const uint8_t* p = base + r * stride;
            for (py::ssize_t i = 0; i < row_len; ++i) seen[p[i]] = true;
        }
    }
    std::vector<int> values;
    if (kind == 'i') {
        for (int v = -128; v < 128; ++v)
            if (seen[static_cast<uint8_t>(v)]) values.push_back(v);
    } else {
        for (int v = 0; v < 256; ++v)
            if (seen[v]) values.push_back(v);
    }
    py::array out(mask.dtype(), std::vector<py::ssize_t>{static_cast<py::ssize_t>(values.size())});
    auto* o = static_cast<uint8_t*>(out.mutable_data());
    for (size_t i = 0; i < values.size(); ++i) o[i] = static_cast<uint8_t>(values[i]);
    return out;
}

}  // namespace kiro
