// Thread count of kiro's own OpenCV (a separate copy from any cv2 module).
#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>

namespace py = pybind11;

PYBIND11_MODULE(_threads, m) {
    m.def(
        "set_num_threads", [](int n) { cv::setNumThreads(n); }, py::arg("n"),
        R"doc(Set the number of threads kiro's OpenCV uses for one call.

0 runs everything on the calling thread (usual in data-loader workers); a
negative value restores OpenCV's default. cv2.setNumThreads does not reach
kiro: it is a separate OpenCV.)doc");
    m.def(
        "get_num_threads", []() { return cv::getNumThreads(); },
        "Number of threads kiro's OpenCV uses for one call.");
}
