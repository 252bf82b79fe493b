// Module setup: errors, and names imported from sibling modules through the
// interpreter (each module is its own shared library and never links another).
#pragma once

#include <pybind11/pybind11.h>

#include "common/errors.hpp"

namespace kiro {
namespace py = pybind11;

// `from <source> import *` into module m (public names only).
inline void import_all(py::module_& m, const char* source) {
    py::module_ src = py::module_::import(source);
    py::object names = py::hasattr(src, "__all__") ? src.attr("__all__") : src.attr("__dir__")();
    for (py::handle name : names) {
        std::string n = py::str(name);
        if (!n.empty() && n[0] != '_') m.attr(name) = src.attr(name);
    }
}

// `from <source> import <name>` into module m.
inline void import_name(py::module_& m, const char* source, const char* name) {
    m.attr(name) = py::module_::import(source).attr(name);
}

// A module's own namespace, read at call time (like a Python module's globals).
class Globals {
public:
    void bind(py::module_& m) { handle_ = m.inc_ref(); }
    py::object operator()(const char* name) const { return handle_.attr(name); }

private:
    py::handle handle_;
};

}  // namespace kiro
