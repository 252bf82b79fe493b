// Thread count of kiro's own OpenCV (a separate copy from any cv2 module).
#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>

#include <atomic>

namespace py = pybind11;

namespace {
// OpenCV runs sequentially after setNumThreads(0) but its TBB build still
// reports the pool size, so the sequential state is remembered here.
std::atomic<bool> sequential{false};
}  // namespace

PYBIND11_MODULE(_threads, m) {
    m.def(
        "set_num_threads",
        [](int n) {
            cv::setNumThreads(n);
            sequential = n == 0;
        },
        py::arg("n"),
        R"doc(Set the number of threads kiro's OpenCV uses for one call.

0 (or 1) runs everything on the calling thread (usual in data-loader workers);
a negative value restores OpenCV's default. cv2.setNumThreads does not reach
kiro: it is a separate OpenCV.)doc");
    m.def(
        "get_num_threads", []() { return sequential ? 1 : cv::getNumThreads(); },
        "Number of threads kiro's OpenCV uses for one call (1 when it runs sequentially).");
}
