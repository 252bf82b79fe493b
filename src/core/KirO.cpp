// Option constants that select the variants of the operations.
#include <pybind11/pybind11.h>

namespace py = pybind11;

PYBIND11_MODULE(KirO, m) {
    m.doc() = R"doc(Option constants of kiro, compared by equality.

Placement of the underlay paste (belmost): COPY_INTER, COPY_MASK_EDGE,
COPY_IMAGE_EDGE, COPY_RANDOM. Placement of the occluding paste (trevane):
OCCLUSION_INTER, OCCLUSION_EDGDE, OCCLUSION_RANDOM. Compositing: FIT_PASTE (1),
FIT_NORMAL (2), FIT_MIX (3), FIT_MONO (4), FIT_RANDOM (one of them at random).
Watermark anchors: WATERMARK_UPLEFT .. WATERMARK_DOWNRIGHT (1..7),
WATERMARK_RANDOM_ANCHOR, WATERMARK_RANDOM_ALL. Light runs: LIGHT_LINEAR,
LIGHT_LOG. Fill of deleted areas: DELETED_FILL_MEAN, DELETED_FILL_RANDOM (or an
integer value).)doc";

    const std::pair<const char*, int> ints[] = {
        {"COPY_INTER", 101},        {"COPY_MASK_EDGE", 102},     {"COPY_IMAGE_EDGE", 103},
        {"COPY_RANDOM", 104},       {"OCCLUSION_INTER", 201},    {"OCCLUSION_EDGDE", 202},
        {"OCCLUSION_RANDOM", 203},  {"FIT_PASTE", 1},            {"FIT_NORMAL", 2},
        {"FIT_MIX", 3},             {"FIT_MONO", 4},             {"FIT_RANDOM", 5},
        {"WATERMARK_UPLEFT", 1},    {"WATERMARK_UP", 2},         {"WATERMARK_UPRIGHT", 3},
        {"WATERMARK_CENTER", 4},    {"WATERMARK_DOWNLEFT", 5},   {"WATERMARK_DOWN", 6},
        {"WATERMARK_DOWNRIGHT", 7}, {"WATERMARK_RANDOM_ANCHOR", 8}, {"WATERMARK_RANDOM_ALL", 9},
        {"LIGHT_LINEAR", 301},      {"LIGHT_LOG", 302},
    };
    py::list all;
    for (const auto& [name, value] : ints) {
        m.attr(name) = value;
        all.append(name);
    }
    m.attr("DELETED_FILL_MEAN") = "mean";
    m.attr("DELETED_FILL_RANDOM") = "random";
    all.append("DELETED_FILL_MEAN");
    all.append("DELETED_FILL_RANDOM");
    m.attr("__all__") = all;
}
