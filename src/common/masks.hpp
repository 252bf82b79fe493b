// Class values of label masks.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <array>
#include <cstring>
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
        // Masks are mostly runs of one value: a block of 8 bytes equal to
        // the previous block adds nothing.
        uint64_t last = 0;
        bool have_last = false;
        for (py::ssize_t r = 0; r < rows; ++r) {
            const uint8_t* p = base + r * stride;
            py::ssize_t i = 0;
            for (; i + 32 <= row_len; i += 32) {
                uint64_t w[4];
                std::memcpy(w, p + i, 32);
                if (have_last && ((w[0] ^ last) | (w[1] ^ last) | (w[2] ^ last) | (w[3] ^ last)) == 0) continue;
                for (int j = 0; j < 4; ++j) {
                    if (have_last && w[j] == last) continue;
                    for (int k = 0; k < 8; ++k) seen[p[i + 8 * j + k]] = true;
                    last = w[j], have_last = true;
                }
            }
            for (; i + 8 <= row_len; i += 8) {
                uint64_t w;
                std::memcpy(&w, p + i, 8);
                if (have_last && w == last) continue;
                for (int k = 0; k < 8; ++k) seen[p[i + k]] = true;
                last = w, have_last = true;
            }
            for (; i < row_len; ++i) seen[p[i]] = true;
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
