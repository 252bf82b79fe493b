// Error reporting shared by every module.
#pragma once

#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>

namespace kiro {
namespace py = pybind11;

// Raise the plain `Exception` (not a subclass) with a fixed message.
[[noreturn]] inline void raise_plain(const char* message) {
    PyErr_SetString(PyExc_Exception, message);
    throw py::error_already_set();
}

// OpenCV failures reach Python as RuntimeError carrying OpenCV's own message.
inline void register_errors() {
    py::register_local_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const cv::Exception& e) {
            PyErr_SetString(PyExc_RuntimeError, e.what());
        }
    });
}

}  // namespace kiro
