// kiro's seamless clone step on its own (the one belmost, trevane and sigrel
// use), for tests and benchmarks.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>

#include "common/arrays.hpp"
#include "common/clone.hpp"
#include "common/errors.hpp"

namespace py = pybind11;

namespace {

// The solve of one kernel build ("" = the one picked at run time).
kiro::clone::CloneSolve build(const std::string& isa) {
    if (isa.empty()) return nullptr;
    if (isa == "baseline") return &kiro::baseline::poisson_clone;
#if defined(KIRO_HAVE_AVX2)
    if (isa == "avx2" && kiro::cpu_has_avx2()) return &kiro::avx2::poisson_clone;
#endif
    throw py::value_error("no kernel build " + isa + " on this processor");
}

py::array seamless_clone(py::array src, py::array dst, py::array mask, int x, int y, int flags,
                         const std::string& isa) {
    const kiro::clone::CloneSolve solve = build(isa);
    kiro::Image s(src, "src"), d(dst, "dst"), m(mask, "mask");
    py::array out = kiro::new_array(d.rows(), d.cols(), d.channels(), dst.dtype());
    cv::Mat blend = kiro::mat_view(out, "out");
    {
        py::gil_scoped_release nogil;
        kiro::clone::seamless(s.mat, d.mat, m.mat, cv::Point(x, y), blend, flags, solve);
    }
    return out;
}

}  // namespace

PYBIND11_MODULE(_clone, m) {
    kiro::register_errors();
    m.def("seamless_clone", &seamless_clone, py::arg("src"), py::arg("dst"), py::arg("mask"), py::arg("x"),
          py::arg("y"), py::arg("flags"), py::arg("isa") = "",
          R"doc(Seamless clone of the 8-bit BGR `src` into a copy of `dst`: the box of
`mask` (same size as src; three channels read as their grey conversion)
centred on (x, y); `flags` 1 NORMAL_CLONE, 2 MIXED_CLONE, 3 MONOCHROME_TRANSFER; `isa` names the
kernel build of the solve ("" = the processor's).)doc");
}
