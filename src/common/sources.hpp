// Images named by the caller: a file path, a wildcard pattern, a list of paths,
// or an array. Files are read whole and decoded in memory, keeping their
// channels (alpha included) and bit depth.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/imgcodecs.hpp>

#include "common/arrays.hpp"
#include "common/draws.hpp"
#include "common/errors.hpp"
#include "common/kinds.hpp"

namespace kiro {
namespace py = pybind11;

// Read and decode one file. A missing file raises the usual OSError
// (FileNotFoundError); undecodable bytes raise ValueError naming the path.
inline py::array read_image(py::handle path) {
    py::object file = py::module_::import("io").attr("open")(path, "rb");
    py::bytes data = file.attr("read")();
    file.attr("close")();
    std::string_view bytes = data;
    cv::Mat decoded;
    {
        py::gil_scoped_release nogil;
        const cv::Mat buffer(1, static_cast<int>(bytes.size()), CV_8U, const_cast<char*>(bytes.data()));
        if (!bytes.empty()) decoded = cv::imdecode(buffer, cv::IMREAD_UNCHANGED);
    }
    if (decoded.empty())
        throw py::value_error("cannot decode an image from file " + std::string(py::str(path)));
    return to_array(std::move(decoded), false);
}

// Files matching a pattern, sorted so that a seeded choice picks the same file.
inline py::list glob_sorted(py::handle pattern) {
    py::list matches = py::module_::import("glob").attr("glob")(pattern);
    matches.attr("sort")();
    return matches;
}

// Resolve an image source in the fixed order: path, pattern, array, list.
// `wrong_type` is the caller's message for any other kind (a tuple included).
// Draws: one random.choice for a pattern or a list.
inline py::array load_source(py::handle source, const char* wrong_type) {
    if (is_text(source)) {
        const std::string s = py::str(source);
        if (s.find('*') == std::string::npos) return read_image(source);
        py::list matches = glob_sorted(source);
        if (matches.empty()) raise_plain("No image found, check dictionary.");
        return read_image(draw::choice(matches));
    }
    if (is_array(source)) return py::reinterpret_borrow<py::array>(source);
    if (is_list(source)) return read_image(draw::choice(source));
    raise_plain(wrong_type);
}

}  // namespace kiro
